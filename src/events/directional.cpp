// Commands relative to the focused window: directional focus (with its memory), swap, resize, equalize.
#include "core/window_manager.hpp"
#include "logging.hpp"
#include "util/debug_form.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::x11::events";

Direction opposite(Direction d) {
    switch (d) {
        case Direction::Left: return Direction::Right;
        case Direction::Right: return Direction::Left;
        case Direction::Up: return Direction::Down;
        case Direction::Down: return Direction::Up;
    }
    return d;
}

const Rect* rect_of(const std::vector<WindowGeometry>& g, Window w) {
    for (const auto& [win, r] : g) {
        if (win == w) return &r;
    }
    return nullptr;
}

// Whether two rectangles share some extent across the axis of motion (16-bit sums).
bool overlap_across(const Rect& a, const Rect& b, Direction d) {
    if (d == Direction::Up || d == Direction::Down) {
        return std::max(a.x, b.x) < std::min<int16_t>(static_cast<int16_t>(a.x + a.width),
                                                      static_cast<int16_t>(b.x + b.width));
    }
    return std::max(a.y, b.y) <
           std::min<int16_t>(static_cast<int16_t>(a.y + a.height), static_cast<int16_t>(b.y + b.height));
}

// Under a fullscreen window every tree neighbour is hidden: none of them counts, so the arrows pass to the
// adjacent monitor as they do where no neighbour lies in that direction.
bool fullscreen_holds(const WindowManager& wm) {
    if (wm.fullscreen_on(wm.current_workspace)) return true;
    auto it = wm.focused ? wm.windows.find(*wm.focused) : wm.windows.end();
    return it != wm.windows.end() && it->second.fullscreen;
}

}  // namespace

XResult<void> WindowManager::focus_direction(Direction d) {
    if (!focused || fullscreen_holds(*this)) return focus_adjacent_monitor(d);
    const Window f = *focused;
    const auto g = workspaces[current_workspace].root.calculate_geometries(focused_monitor_ref().rect);
    std::optional<Window> preferred;
    if (auto it = focus_memory.find({f, d}); it != focus_memory.end()) preferred = it->second;
    auto t = Node::find_adjacent(g, f, d, preferred);
    if (!t) return focus_adjacent_monitor(d);
    focus_memory[{f, d}] = *t;
    // Remember the way back only when the two windows face each other across the motion.
    const Rect* fr = rect_of(g, f);
    const Rect* tr = rect_of(g, *t);
    if (fr && tr && overlap_across(*fr, *tr, d)) focus_memory[{*t, opposite(d)}] = f;
    VOP_TRY(set_focus(*t, true));
    VOP_TRY(connection->flush());
    log::debug(kTarget, "Focused {} to window {} (preferred: {})", d, *t, dbg::form(preferred));
    return {};
}

XResult<void> WindowManager::focus_adjacent_monitor(Direction d) {
    if (monitors.size() < 2 || d == Direction::Up || d == Direction::Down) return {};
    size_t m;
    if (d == Direction::Right) {
        if (focused_monitor + 1 >= monitors.size()) return {};
        m = focused_monitor + 1;
    } else {
        if (focused_monitor == 0) return {};
        m = focused_monitor - 1;
    }
    log::info(kTarget, "Moving focus from monitor {} to {}", focused_monitor, m);
    VOP_TRY(set_focused_monitor(m));
    const auto w = focus_pick(current_workspace);
    VOP_TRY(focus_or_warp(w, true));
    if (!w) log::debug(kTarget, "No windows on monitor {}, warped to center", m);
    return connection->flush();
}

XResult<void> WindowManager::swap_direction(Direction d) {
    if (!focused) return {};
    const Window f = *focused;
    Node& root = workspaces[current_workspace].root;
    std::optional<Window> t;
    if (!fullscreen_holds(*this)) {
        t = Node::find_adjacent(root.calculate_geometries(focused_monitor_ref().rect), f, d, std::nullopt);
    }
    if (t) {
        bool found_a = false, found_b = false;
        root.swap_impl(f, *t, found_a, found_b);
        VOP_TRY(apply_layout());
        VOP_TRY(set_focus(f, true));
        log::debug(kTarget, "Swapped with window {} in direction {}", *t, d);
        return {};
    }
    if (monitors.size() < 2 || d == Direction::Up || d == Direction::Down) return {};
    const char* word = d == Direction::Left ? "prev" : "next";
    log::debug(kTarget, "No adjacent window, moving to {} monitor", word);
    return move_to_monitor(word);
}

XResult<void> WindowManager::resize_direction(Direction d, float amount) {
    if (!focused) return {};
    if (!workspaces[current_workspace].root.resize(*focused, d, amount)) return {};
    VOP_TRY(apply_layout());
    log::debug(kTarget, "Resized {}", d);
    return {};
}

XResult<void> WindowManager::equalize() {
    workspaces[current_workspace].root.equalize();
    VOP_TRY(apply_layout());
    log::debug(kTarget, "Equalized splits");
    return {};
}

}  // namespace vop
