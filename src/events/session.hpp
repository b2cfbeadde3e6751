// The programs around the window manager: the systemd graphical session and the vopbar bar.
#pragma once

#include "util/helper.hpp"

#include <sys/types.h>

#include <chrono>
#include <iterator>
#include <optional>
#include <string>

namespace vop::session {

// "Killing picom...", then `pkill -x picom` within helper::kTimeLimit, never cut short by a stop signal;
// only its being killed is logged.
void kill_picom();
// Within helper::kTimeLimit, never cut short by a stop signal.
void stop_graphical_session();

// The steps of the shutdown that wait for a helper, in the order it runs them.
using ShutdownStep = void (*)();
inline constexpr ShutdownStep kShutdownHelpers[] = {kill_picom, stop_graphical_session};
// How long a whole shutdown may take: each of its helpers at its limit, then the bar's grace period and room
// to spare. Until then a further stop signal is only noted; after it, one ends vop at once.
inline constexpr std::chrono::milliseconds kShutdownLimit =
    static_cast<int>(std::size(kShutdownHelpers)) * helper::kTimeLimit + std::chrono::seconds(1);

// Imports DISPLAY and XAUTHORITY into the systemd user session and starts graphical-session.target, each
// within helper::kTimeLimit and cut short by a stop signal.
void start_graphical_session();

// Starts vopbar with "daemon" and I3SOCK set to the i3 server's socket (left out when there is no
// such server); none when it cannot be started. A signal that ends vop at once stops it too.
std::optional<pid_t> spawn_vopbar(const std::optional<std::string>& i3_socket);
// SIGTERM, one grace period of 100 ms, then SIGKILL.
void stop_vopbar(pid_t pid);
// SIGHUP: the bar re-reads its configuration.
void reload_vopbar(pid_t pid);

}  // namespace vop::session
