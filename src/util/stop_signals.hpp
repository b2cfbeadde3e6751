// SIGTERM, SIGINT and SIGHUP as a request to stop: the handler notes the signal and wakes the loop; one
// that comes when a stop has already run past its time limit ends vop at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace vop::stop_signals {

// Installs the handlers and their wake-up pipe (once). A stop signal that comes more than `patience`
// after a stop was first asked for (by a signal or by `shutdown_begins`) ends vop at once, by that signal:
// a stop must not be held up for good by something that hangs. Earlier ones, such as a terminal's SIGINT
// followed by a script's SIGTERM, are only noted, so the shutdown runs to its end.
// Returns the error text of a step that failed. Children are not affected: exec resets caught signals,
// and nothing is left blocked.
std::optional<std::string> install(std::chrono::milliseconds patience);

// The first stop signal received since `install`, 0 when none has come.
int received();

// The read end of the wake-up pipe, readable once a stop signal has come; -1 before `install`.
int wake_fd();

// The shutdown starts: a stop counts as asked for from now, unless a signal asked for it earlier.
void shutdown_begins();

// Files to remove when a signal ends vop at once, each only while it is still the file it was (same device
// and inode). Returns the slot, or -1 when all slots are taken (the file then stays).
int remove_when_ended_at_once(const std::string& path, dev_t dev, ino_t ino);
void forget_removal(int slot);
// The bar to send SIGTERM when a signal ends vop at once; 0 for none. A pid that was collected must be
// taken back at once: it may be another process's soon.
void stop_bar_when_ended_at_once(pid_t pid);
// The process group of the helper vop is waiting for, killed when a signal ends vop at once; 0 for none.
void kill_group_when_ended_at_once(pid_t group);

}  // namespace vop::stop_signals
