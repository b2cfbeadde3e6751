// Configuration reload, and the compositor file written from the working settings.
#include "config/picom.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "util/process.hpp"
#include "events/ipc_commands.hpp"
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

XResult<void> WindowManager::reload_config() {
    // A script that fails has said so in the log; a chord has no one else to tell.
    auto r = reload_configuration(*this);
    if (!r) return r.take_error();
    return {};
}

XResult<std::optional<std::string>> reload_configuration(WindowManager& wm) {
    log::info(kTarget, "Reloading configuration");
    if (auto r = wm.lua_config->reload(); !r) {
        std::string failure = fmt::format("Config reload failed: {}", r.error());
        log::error(kTarget, "{}", failure);
        return std::optional<std::string>(std::move(failure));
    }
    const bool had_titlebars = wm.config.titlebar_enabled;
    wm.config = wm.lua_state->lock()->config;
    if (auto r = picom::write_config(wm.config); !r) {
        log::warn(kTarget, "Failed to regenerate picom config: {}", r.error());
    }
    VOP_TRY(release_key_grabs(*wm.connection));
    VOP_TRY(wm.setup_grabs());
    VOP_TRY(wm.follow_titlebar_setting(had_titlebars));
    VOP_TRY(wm.apply_layout());

    if (wm.config.bar_enabled) {
        if (!wm.bar_process) {
            if (wm.bar_exit_status) {
                log::info(kTarget, "vopbar exited with status {}, will respawn",
                          process::exit_status_text(*wm.bar_exit_status));
            }
            wm.bar_process = session::spawn_vopbar(wm.i3_socket_path());
        } else if (auto st = process::try_wait(*wm.bar_process); !st) {
            log::warn(kTarget, "Failed to check vopbar status: {}", st.error());
            wm.bar_process = session::spawn_vopbar(wm.i3_socket_path());
        } else if (st->exited) {
            log::info(kTarget, "vopbar exited with status {}, will respawn", process::exit_status_text(st->status));
            wm.bar_process = session::spawn_vopbar(wm.i3_socket_path());
        } else {
            session::reload_vopbar(*wm.bar_process);
        }
    } else if (wm.bar_process) {
        session::stop_vopbar(*wm.bar_process);
        wm.bar_process.reset();
    }
    wm.bar_exit_status.reset();
    log::info(kTarget, "Configuration reloaded");
    return std::optional<std::string>();
}

}  // namespace vop
