// Configuration reload, and the compositor file written from the working settings.
#include "config/picom.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "util/process.hpp"
#include "events/session.hpp"

#include <xcb/xcb.h>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";

// The old bindings' grabs go first, so a chord removed from the script stops being swallowed.
XResult<void> release_key_grabs(Connection& c) {
    xcb_ungrab_key(c.conn, XCB_GRAB_ANY, c.root, XCB_MOD_MASK_ANY);
    return c.check();
}
}  // namespace

XResult<std::optional<std::string>> WindowManager::reload_config() {
    log::info(kTarget, "Reloading configuration");
    if (auto r = lua_config->reload(); !r) {
        std::string failure = fmt::format("Config reload failed: {}", r.error());
        log::error(kTarget, "{}", failure);
        return std::optional<std::string>(std::move(failure));
    }
    const bool had_titlebars = config.titlebar_enabled;
    config = lua_state->lock()->config;
    if (auto r = picom::write_config(config); !r) {
        log::warn(kTarget, "Failed to regenerate picom config: {}", r.error());
    }
    VOP_TRY(release_key_grabs(*connection));
    VOP_TRY(setup_grabs());
    VOP_TRY(follow_titlebar_setting(had_titlebars));
    VOP_TRY(apply_layout());

    if (config.bar_enabled) {
        if (!bar_process) {
            if (bar_exit_status) {
                log::info(kTarget, "vopbar exited with status {}, will respawn",
                          process::exit_status_text(*bar_exit_status));
            }
            bar_process = session::spawn_vopbar(i3_socket_path());
        } else if (auto st = process::try_wait(*bar_process); !st) {
            log::warn(kTarget, "Failed to check vopbar status: {}", st.error());
            bar_process = session::spawn_vopbar(i3_socket_path());
        } else if (st->exited) {
            log::info(kTarget, "vopbar exited with status {}, will respawn", process::exit_status_text(st->status));
            bar_process = session::spawn_vopbar(i3_socket_path());
        } else {
            session::reload_vopbar(*bar_process);
        }
    } else if (bar_process) {
        session::stop_vopbar(*bar_process);
        bar_process.reset();
    }
    bar_exit_status.reset();
    log::info(kTarget, "Configuration reloaded");
    return std::optional<std::string>();
}

}  // namespace vop
