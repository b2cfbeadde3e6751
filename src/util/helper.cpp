// Running a helper program within the common time limit and logging one that did not finish.
#include "util/helper.hpp"

#include "logging.hpp"
#include "util/stop_signals.hpp"

#include <sys/wait.h>

#include <utility>

namespace vop::helper {

Outcome run(const char* target, const std::string& program, const std::vector<std::string>& args,
            process::Options options, OnStop on_stop) {
    options.time_limit = kTimeLimit;
    options.stop_fd = on_stop == OnStop::Kill ? stop_signals::wake_fd() : -1;
    auto r = process::run(program, args, options);
    if (!r) return {.end = Outcome::End::Failed, .output = {}, .error = r.error()};
    const bool killed = r->killed() || WIFSIGNALED(r->status);
    if (killed) {
        std::string command = program;
        for (const auto& a : args) command += " " + a;
        if (r->killed_at_time_limit) {
            log::warn(target, "{} did not finish within {} ms and was killed", command, kTimeLimit.count());
        } else if (r->killed_on_stop) {
            log::info(target, "{} was killed: vop is stopping", command);
        } else {
            log::warn(target, "{} was killed: {}", command, process::exit_status_text(r->status));
        }
    }
    return {.end = killed ? Outcome::End::Killed : Outcome::End::Finished, .output = std::move(r.value()),
            .error = {}};
}

}  // namespace vop::helper
