// Helper programs vop waits for (systemctl, pkill, which): one time limit for all, cut short by a stop signal.
#pragma once

#include "util/process.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace vop::helper {

// How long vop waits for a helper before it kills it: one that hangs (a stuck user bus, a pipe nobody reads)
// must not freeze the window manager.
inline constexpr std::chrono::milliseconds kTimeLimit{3000};

// Whether a stop signal ends the wait at once: yes at start-up and on a reload, whose helpers vop then has
// no use for; no during the shutdown, whose helpers are the point of it.
enum class OnStop { Kill, Finish };

// `process::run` within kTimeLimit. A helper that had to be killed is logged here under `target`: WARN
// "{command} did not finish within {} ms and was killed", or INFO "{command} was killed: vop is stopping".
// The caller sees it in `killed()`.
Result<process::Output, process::OsError> run(const char* target, const std::string& program,
                                             const std::vector<std::string>& args, process::Options options,
                                             OnStop on_stop);

}  // namespace vop::helper
