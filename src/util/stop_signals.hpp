// SIGTERM, SIGINT and SIGHUP as a request to stop: the handler only notes the signal and wakes the loop.
#pragma once

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

}  // namespace vop::stop_signals
