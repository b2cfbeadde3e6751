// Keyboard and mouse events: key bindings, click focus, drags, edge cursors, focus follows mouse.
#include "core/window_manager.hpp"
#include "logging.hpp"

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
}

XResult<void> WindowManager::handle_key_press(const void*) {
    log::trace(kTarget, "KeyPress");
    return {};
}

XResult<void> WindowManager::handle_button_press(const void*) {
    log::trace(kTarget, "ButtonPress");
    return {};
}

XResult<void> WindowManager::handle_button_release(const void*) {
    log::trace(kTarget, "ButtonRelease");
    return {};
}

XResult<void> WindowManager::handle_motion_notify(const void*) { return {}; }

XResult<void> WindowManager::handle_enter_notify(const void*) { return {}; }

}  // namespace vop
