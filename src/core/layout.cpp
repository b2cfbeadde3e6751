// The layout pass: every shown workspace's windows placed, borders coloured, one flush.
#include "core/layout_math.hpp"
#include "core/window_manager.hpp"
#include "logging.hpp"

#include <algorithm>

namespace vop {
namespace {
constexpr const char* kTarget = "vop::core";
}  // namespace

layout::Reservation WindowManager::reservation_of(Rect monitor, std::span<const Strut> docks) const {
    if (config.bar_height != 0) return layout::Reservation{.top = config.bar_height};
    return layout::monitor_reservation(docks, monitor, connection->screen_width, connection->screen_height);
}

void WindowManager::note_cramped(const std::string& name, const layout::Reservation& r, bool cramped) {
    if (!cramped) {
        cramped_monitors.erase(name);
        return;
    }
    if (cramped_monitors.insert(name).second) {
        log::warn(kTarget,
                  "Reserved edges (left={}, right={}, top={}, bottom={}) leave monitor '{}' too small to tile in, "
                  "ignoring them there",
                  r.left, r.right, r.top, r.bottom, name);
    }
}

XResult<void> WindowManager::apply_layout() {
    const Config& c = config;
    std::vector<Strut> docks;
    for (const auto& [w, s] : struts) docks.push_back(s);

    const bool frames_on = c.titlebar_enabled;
    for (const Monitor& m : monitors) {
        const size_t index = m.workspace;
        const Rect rect = m.rect;
        // Borders, title bars and gaps as far as the monitor holds them, so every window stays wholly on it.
        const layout::Decorations d =
            layout::fit_decorations(rect, c.border_width, frames_on ? c.titlebar_height : 0);
        const layout::Decorations unframed{d.border_width, 0};
        const auto bar = static_cast<uint16_t>(d.titlebar_height), bw = static_cast<uint16_t>(d.border_width);
        const layout::Gaps gaps = layout::fit_gaps(rect, {c.gap_outer, c.gap_inner}, d);
        const Workspace& ws = workspaces[index];
        const Window fullscreen = fullscreen_on(index).value_or(0);  // 0: none
        const layout::Reservation reserve = reservation_of(rect, docks);
        const auto tiling = layout::tiling_area(rect, reserve, gaps, d);
        note_cramped(m.name, reserve, !tiling);
        // Tiling in what the docks leave would squash every window to a sliver: better under them.
        const Rect area = tiling.value_or(layout::work_area(rect, {}, gaps.outer));
        log::debug(kTarget, "apply_layout: ws={} screen={}, work_area={}, tiled={}, floating={}", index + 1, rect,
                   area, ws.root.window_count(), ws.floating.size());
        // The windows under a fullscreen one are laid out too: the workspace may have come to this monitor
        // from another, and they must not stay over there.
        for (const auto& [w, cell] : ws.root.calculate_geometries(area)) {
            if (w == fullscreen) continue;
            auto it = windows.find(w);
            const bool framed = it != windows.end() && it->second.frame && frames_on;
            const Rect box = layout::tiled_box(cell, area, gaps.inner, framed ? d : unframed);
            if (framed) {
                const uint16_t h = layout::client_height(box.height, d.titlebar_height);
                VOP_TRY(frame_manager.configure_frame(*connection, w, box.x, box.y, box.width, h, bar, bw));
                log::debug(kTarget, "apply_layout: TILED+FRAME window={} at ({}, {}) size {}x{} (titlebar: {})", w,
                           box.x, box.y, box.width, box.height, bar);
            } else {
                log::debug(kTarget, "apply_layout: TILED window={} at ({}, {}) size {}x{}", w, box.x, box.y,
                           box.width, box.height);
                VOP_TRY(connection->configure_window(w, box.x, box.y, box.width, box.height, d.border_width));
            }
        }
        for (Window w : ws.floating) {
            if (w == fullscreen) continue;
            auto it = windows.find(w);
            if (it == windows.end()) {
                log::warn(kTarget, "apply_layout: floating window {} not in windows map!", w);
                continue;
            }
            Rect g = it->second.floating_geometry;
            const layout::Decorations fd = decorations_of(w);
            Rect box = layout::floating_box(g, fd.border_width);
            if (it->second.frame && frames_on) {
                uint16_t h = layout::framed_floating_height(g, fd.border_width, fd.titlebar_height);
                VOP_TRY(frame_manager.configure_frame(*connection, w, g.x, g.y, box.width, h,
                                                      static_cast<uint16_t>(fd.titlebar_height),
                                                      static_cast<uint16_t>(fd.border_width)));
                log::debug(kTarget, "apply_layout: FLOATING+FRAME window={} at ({}, {}) size {}x{} (raising)", w, g.x,
                           g.y, box.width, box.height);
            } else {
                log::debug(kTarget, "apply_layout: FLOATING window={} at ({}, {}) size {}x{} (raising)", w, g.x, g.y,
                           box.width, box.height);
                VOP_TRY(connection->configure_window(w, g.x, g.y, box.width, box.height, fd.border_width));
            }
        }
        if (fullscreen != 0) {
            const Window w = fullscreen;
            log::debug(kTarget, "apply_layout: FULLSCREEN window={} on monitor {}", w, rect);
            if (windows.at(w).frame && frames_on) {
                // Configuring the client alone would leave it clipped inside its frame: the frame covers the
                // monitor without border, and the client covers the frame, bar included.
                VOP_TRY(frame_manager.configure_frame(*connection, w, rect.x, rect.y, rect.width, rect.height, 0, 0));
            } else {
                VOP_TRY(connection->configure_window(w, rect.x, rect.y, rect.width, rect.height, 0));
            }
        }
    }
    // Raised once every window is in place.
    VOP_TRY(apply_stacking());
    VOP_TRY(update_borders());
    return connection->flush();
}

layout::Decorations WindowManager::decorations_of(Window w) const {
    auto it = windows.find(w);
    const Rect m = home_rect(it == windows.end() ? current_workspace : it->second.workspace);
    const uint32_t bar = config.titlebar_enabled ? config.titlebar_height : 0;
    if (it == windows.end() || !it->second.floating) return layout::fit_decorations(m, config.border_width, bar);
    return layout::floating_decorations(m, it->second.floating_geometry, config.border_width, bar);
}

XResult<void> WindowManager::update_borders() {
    for (const Monitor& m : monitors) {
        for (Window w : workspaces[m.workspace].all_windows()) {
            auto it = windows.find(w);
            const ManagedWindow* rec = it == windows.end() ? nullptr : &it->second;
            uint32_t colour = config.border_color_unfocused;
            if (focused == w) {
                colour = config.border_color_focused;
            } else if (rec && rec->urgent) {
                colour = config.border_color_urgent;
            }
            if (rec && rec->frame) {
                VOP_TRY(frame_manager.set_frame_border(*connection, w, colour));
            } else {
                uint32_t width = rec && rec->fullscreen ? 0 : decorations_of(w).border_width;
                VOP_TRY(connection->set_border(w, width, colour));
            }
        }
    }
    return {};
}

XResult<void> WindowManager::warp_to_monitor(size_t monitor) {
    auto p = layout::centre(monitors[monitor].rect);
    VOP_TRY(connection->warp_pointer(p.x, p.y));
    last_warp = Clock::now();
    return connection->flush();
}

}  // namespace vop
