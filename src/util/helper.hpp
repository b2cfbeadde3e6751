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

// How a helper's run ended. Only a helper that finished has an exit status that says how its work went.
struct Outcome {
    enum class End { Finished, Failed, Killed };
    End end = End::Finished;
    process::Output output;  // its status and captured streams (none when it failed)
    process::OsError error;  // Failed: why it could not be started or waited for

    bool failed() const { return end == End::Failed; }
    bool finished() const { return end == End::Finished; }
    // Finished with exit status 0.
    bool succeeded() const { return finished() && output.success(); }
};

// `process::run` within kTimeLimit, in a process group of its own. A helper that did not finish is logged
// here under `target`, and callers need to say nothing more of it: WARN "{command} did not finish within
// {} ms and was killed", INFO "{command} was killed: vop is stopping", or, for a signal from elsewhere, WARN
// "{command} was killed: {}" with the exit status text.
Outcome run(const char* target, const std::string& program, const std::vector<std::string>& args,
            process::Options options, OnStop on_stop);

}  // namespace vop::helper
