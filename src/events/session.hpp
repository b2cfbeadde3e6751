// The programs around the window manager: the systemd graphical session and the vopbar bar.
#pragma once

#include "util/helper.hpp"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace vop::session {

// The helpers the shutdown waits for, one after the other: `pkill -x picom` and the systemctl of
// stop_graphical_session.
inline constexpr int kShutdownHelpers = 2;
// How long a whole shutdown may take: each of its helpers at its limit, then the bar's grace period and room
// to spare. Until then a further stop signal is only noted; after it, one ends vop at once.
inline constexpr std::chrono::milliseconds kShutdownLimit =
    kShutdownHelpers * helper::kTimeLimit + std::chrono::seconds(1);

// Imports DISPLAY and XAUTHORITY into the systemd user session and starts graphical-session.target, each
// within helper::kTimeLimit and cut short by a stop signal.
void start_graphical_session();
// Within helper::kTimeLimit, never cut short by a stop signal.
void stop_graphical_session();

// Starts vopbar with "daemon" and I3SOCK set to the i3 server's socket (left out when there is no
// such server); none when it cannot be started. A signal that ends vop at once stops it too.
std::optional<pid_t> spawn_vopbar(const std::optional<std::string>& i3_socket);
// SIGTERM, one grace period of 100 ms, then SIGKILL.
void stop_vopbar(pid_t pid);
// SIGHUP: the bar re-reads its configuration.
void reload_vopbar(pid_t pid);

}  // namespace vop::session
