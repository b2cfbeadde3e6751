// SIGTERM, SIGINT and SIGHUP as a request to stop: the handler notes the signal and wakes the loop; a further
// one ends vop at once.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vop::stop_signals {

// Installs the handlers and their wake-up pipe (once). Returns the error text of a step that failed.
// Children are not affected: exec resets caught signals and nothing is blocked.
std::optional<std::string> install();

// The first stop signal received since `install`, 0 when none has come.
int received();

// The read end of the wake-up pipe, readable once a stop signal has come; -1 before `install`.
int wake_fd();

// A second stop signal, or any once `end_at_once_from_now` was called, ends vop at once, by that signal:
// a stop that is under way must not be held up for good by a hung helper. Files registered here are
// removed first, each only while it is still the file it was (same device and inode).
void end_at_once_from_now();
// Registers a file to remove then; returns its slot, or -1 when all slots are taken (the file then stays).
int remove_when_ended_at_once(const std::string& path, dev_t dev, ino_t ino);
void forget_removal(int slot);

}  // namespace vop::stop_signals
