// Raising: the windows vop keeps on top go above the rest of its managed windows and the docks, and no
// higher, so that menus, tooltips and notifications over them stay in sight.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";

// Bottom to top, per shown workspace: its floating windows in list order, then its fullscreen window, then
// that window's transients (its dialogs), tiled ones first.
std::vector<Window> raise_order(const WindowManager& wm) {
    std::vector<Window> out;
    for (const Monitor& m : wm.monitors) {
        const Workspace& ws = wm.workspaces[m.workspace];
        const std::optional<Window> fullscreen = wm.fullscreen_on(m.workspace);
        auto over_fullscreen = [&](Window w) { return fullscreen && wm.is_transient_of(w, *fullscreen); };
        std::vector<Window> over;
        for (Window w : ws.root.windows()) {
            if (over_fullscreen(w)) over.push_back(wm.top_level(w));
        }
        for (Window w : ws.floating) {
            if (w == fullscreen || !wm.windows.count(w)) continue;
            (over_fullscreen(w) ? over : out).push_back(wm.top_level(w));
        }
        if (fullscreen) out.push_back(wm.top_level(*fullscreen));
        out.insert(out.end(), over.begin(), over.end());
    }
    return out;
}

// The mirror of the stacking order, read afresh from the server when it is unsure (vop's own restacks not
// yet reported back, or a notification it could not follow). False when the server could not be asked.
bool stacking_known(Connection& c) {
    if (c.stack.sure()) return true;
    auto kids = x11::root_children(c);
    if (!kids) {
        log::warn(kTarget, "Failed to read the stacking order: {}", kids.error());
        return false;
    }
    c.stack.reset(std::move(kids->bottom_to_top), kids->sequence);
    return true;
}
}  // namespace

bool WindowManager::in_stacking_layer(Window w) const {
    if (auto client = frame_manager.client_for_frame(w)) return windows.count(*client) > 0;
    return windows.count(w) > 0 || docks.count(w) > 0;
}

XResult<void> WindowManager::restack() {
    const std::vector<Window> wanted = raise_order(*this);
    // Only what is out of place moves: a needless restack moves windows under the pointer.
    if (wanted.empty() || !stacking_known(*connection)) return {};
    auto in_layer = [this](Window w) { return in_stacking_layer(w); };
    for (const Restack& r : plan_raise(connection->stack.order(), wanted, in_layer)) {
        VOP_TRY(x11::restack(*connection, r));
    }
    return {};
}

XResult<void> WindowManager::stack_new(Window w) {
    // Created (or reparented) on top of every child of the root, it would cover the menus open there.
    const Window top = top_level(w);
    if (!stacking_known(*connection)) return {};
    auto below = topmost_in_layer(connection->stack.order(), [this](Window x) { return in_stacking_layer(x); },
                                  {&top, 1});
    return x11::restack(*connection, {top, below.value_or(0)});
}

}  // namespace vop
