// Raising: the windows vop keeps on top go above the rest of its managed windows and the docks, and no
// higher, so that menus, tooltips and notifications over them stay in sight.
#include "core/raise.hpp"

#include "core/window_manager.hpp"
#include "logging.hpp"
#include "x11/wm_requests.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";
// A redo refused in turn is redone again, this many times in a row at most.
constexpr uint8_t kMaxRedos = 3;

// Bottom to top, per shown workspace: its floating windows in list order, then its fullscreen window, then
// that window's transients (its dialogs), tiled ones first.
std::vector<Window> raise_order(const WindowManager& wm) {
    std::vector<Window> out;
    for (const Monitor& m : wm.monitors) {
        const Workspace& ws = wm.workspaces[m.workspace];
        const std::optional<Window> fullscreen = wm.fullscreen_on(m.workspace);
        const std::vector<Window> over = fullscreen ? wm.dialogs_of(*fullscreen) : std::vector<Window>{};
        for (Window w : ws.floating) {
            if (w == fullscreen || !wm.windows.count(w) || std::find(over.begin(), over.end(), w) != over.end()) continue;
            out.push_back(wm.top_level(w));
        }
        if (fullscreen) out.push_back(wm.top_level(*fullscreen));
        for (Window w : over) out.push_back(wm.top_level(w));
    }
    return out;
}

}  // namespace

std::optional<Window> topmost_in_layer(std::span<const Window> stack, const std::function<bool(Window)>& in_layer,
                                       std::span<const Window> except) {
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        if (in_layer(*it) && std::find(except.begin(), except.end(), *it) == except.end()) return *it;
    }
    return std::nullopt;
}

std::vector<Restack> plan_raise(std::span<const Window> stack, std::span<const Window> wanted,
                                const std::function<bool(Window)>& in_layer) {
    std::vector<Window> now(stack.begin(), stack.end());  // as it will be after the restacks so far
    auto at = [&](Window w) { return std::find(now.begin(), now.end(), w); };
    std::vector<Window> done;
    std::vector<Restack> out;
    std::optional<Window> below = topmost_in_layer(stack, in_layer, wanted);
    for (Window w : wanted) {
        if (std::find(done.begin(), done.end(), w) != done.end()) continue;
        auto it = at(w);
        if (it == now.end()) continue;  // not a child of the root
        done.push_back(w);
        // Nothing to go above, or above it already: it stays, over whatever lies between.
        if (!below || at(*below) < it) {
            below = w;
            continue;
        }
        now.erase(it);
        now.insert(at(*below) + 1, w);
        out.push_back({w, *below});
        below = w;
    }
    return out;
}

bool WindowManager::in_stacking_layer(Window w) const {
    if (auto client = frame_manager.client_for_frame(w)) return windows.count(*client) > 0;
    return windows.count(w) > 0 || docks.count(w) > 0;
}

XResult<bool> WindowManager::order_known() {
    for (;;) {
        if (!x11::stacking_known(*connection)) return false;
        // Read afresh, the order comes with the outcome of every restack sent before: a refused one left its
        // window where it was (a new one on top of every menu), and is redone before anything goes above it.
        const std::vector<RefusedRestack> refused = connection->refused_restacks(connection->stack.read_at());
        if (refused.empty()) return true;
        VOP_TRY(redo_refused(refused));
    }
}

XResult<void> WindowManager::redo_refused(const std::vector<RefusedRestack>& refused) {
    for (const RefusedRestack& r : refused) {
        const SentRestack& s = r.restack;
        if (r.refusal == Refusal::WindowGone) {
            log::trace(kTarget, "Restack of window {} dropped, the window is gone: {}", s.window, r.error);
            continue;
        }
        log::debug(kTarget, "Restack of window {} {} {} failed: {}", s.window, s.above ? "above" : "below", s.sibling,
                   r.error);
        if (r.refusal != Refusal::SiblingGone) continue;
        if (s.attempt >= kMaxRedos) {
            log::warn(kTarget, "Gave up restacking window {}: refused {} times in a row", s.window, s.attempt + 1);
            continue;
        }
        // The refusal changed nothing, but what the mirror holds may be what the restack was planned from.
        connection->stack.doubt();
        const uint8_t outer = connection->restack_attempt;
        connection->restack_attempt = static_cast<uint8_t>(s.attempt + 1);
        XResult<void> done;
        switch (s.purpose) {
            case RestackFor::NewWindow: done = stack_new(s.window); break;
            case RestackFor::Raise: done = apply_stacking(); break;
            case RestackFor::Desktop: done = stack_desktop(s.window); break;
        }
        connection->restack_attempt = outer;
        VOP_TRY(done);
    }
    return connection->flush();
}

XResult<void> WindowManager::apply_stacking() {
    const std::vector<Window> wanted = raise_order(*this);
    // Only what is out of place moves: a needless restack moves windows under the pointer.
    if (wanted.empty()) return {};
    auto known = order_known();
    if (!known) return known.take_error();
    if (!*known) return {};
    auto in_layer = [this](Window w) { return in_stacking_layer(w); };
    for (const Restack& r : plan_raise(connection->stack.order(), wanted, in_layer)) {
        VOP_TRY(x11::restack(*connection, r.window, r.sibling, RestackFor::Raise));
    }
    return {};
}

XResult<void> WindowManager::stack_new(Window w) {
    // Created (or reparented) on top of every child of the root, it would cover the menus open there. With
    // nothing of the layer to go above it stays: lower, it could go under a wallpaper.
    const Window top = top_level(w);
    auto known = order_known();
    if (!known) return known.take_error();
    if (!*known) return {};
    const std::vector<Window>& order = connection->stack.order();
    // No longer a child of the root (gone, or put into another window): nothing to place.
    if (std::find(order.begin(), order.end(), top) == order.end() || !in_stacking_layer(top)) return {};
    auto below = topmost_in_layer(order, [this](Window x) { return in_stacking_layer(x); }, {&top, 1});
    if (!below) return {};
    return x11::restack(*connection, top, *below, RestackFor::NewWindow);
}

XResult<void> WindowManager::stack_desktop(Window w) {
    auto known = order_known();
    if (!known) return known.take_error();
    if (!*known) return {};
    const std::vector<Window>& order = connection->stack.order();
    auto lowest = std::find_if(order.begin(), order.end(), [&](Window x) { return x != w && in_stacking_layer(x); });
    auto at = std::find(order.begin(), order.end(), w);
    if (lowest == order.end() || at == order.end() || at < lowest || !in_stacking_layer(w)) return {};
    return x11::restack_below(*connection, w, *lowest, RestackFor::Desktop);
}

}  // namespace vop
