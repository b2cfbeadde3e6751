// Running a helper program within the common time limit and logging one that had to be killed.
#include "util/helper.hpp"

#include "logging.hpp"
#include "util/stop_signals.hpp"

namespace vop::helper {

Result<process::Output, process::OsError> run(const char* target, const std::string& program,
                                             const std::vector<std::string>& args, process::Options options,
                                             OnStop on_stop) {
    options.time_limit = kTimeLimit;
    options.stop_fd = on_stop == OnStop::Kill ? stop_signals::wake_fd() : -1;
    auto r = process::run(program, args, options);
    if (r && r->killed()) {
        std::string command = program;
        for (const auto& a : args) command += " " + a;
        if (r->killed_at_time_limit) {
            log::warn(target, "{} did not finish within {} ms and was killed", command, kTimeLimit.count());
        } else {
            log::info(target, "{} was killed: vop is stopping", command);
        }
    }
    return r;
}

}  // namespace vop::helper
