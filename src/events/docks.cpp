// Dock and desktop windows: shown but not managed; the screen edges they reserve are followed as they change.
#include "core/window_manager.hpp"
#include "logging.hpp"

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
// A bar may grow or shrink after it mapped and say so in its strut: vop listens for its property changes.
constexpr uint32_t kDockEventMask = 0x400000;  // PropertyChange

void log_strut(const char* what, Window w, const Strut& s) {
    log::info(kTarget, "Dock window {} {}: left={}, right={}, top={}, bottom={}", w, what, s.left, s.right, s.top,
              s.bottom);
}
}  // namespace

XResult<bool> WindowManager::follow_dock(Window w) {
    VOP_TRY(connection->select_input(w, kDockEventMask));
    docks.insert(w);
    auto s = connection->get_strut(w);
    if (!s) return false;
    log_strut("has strut", w, *s);
    struts[w] = *s;
    return true;
}

XResult<void> WindowManager::reread_strut(Window w) {
    if (!docks.count(w)) return {};
    auto s = connection->get_strut(w);
    auto it = struts.find(w);
    if (s ? it != struts.end() && it->second == *s : it == struts.end()) return {};
    if (s) {
        log_strut("changed its strut", w, *s);
        struts[w] = *s;
    } else {
        log::info(kTarget, "Dock window {} dropped its strut", w);
        struts.erase(it);
    }
    return apply_layout();
}

}  // namespace vop
