// The JSON views of the state and the i3 workspace and output records, built afresh on every call.
#include "events/views.hpp"

#include "core/window_manager.hpp"

namespace vop {
namespace views {
namespace {

using nlohmann::json;

i3_server::Rect widen(const Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

json ids(const std::vector<Window>& ws) {
    json arr = json::array();
    for (Window w : ws) arr.push_back(w);
    return arr;
}

std::optional<std::size_t> first_monitor_showing(const StateRef& s, std::size_t ws) {
    for (std::size_t k = 0; k < s.monitors.size(); ++k) {
        if (s.monitors[k].workspace == ws) return k;
    }
    return std::nullopt;
}

// The workspace holds a tiled or floating window.
bool occupied(const Workspace& w) {
    return w.root.window_count() > 0 || !w.floating.empty();
}

}  // namespace

StateRef state_of(const WindowManager& wm) {
    return StateRef{wm.workspaces, wm.monitors, wm.windows, wm.focused, wm.current_workspace, wm.focused_monitor};
}

json workspaces_json(const StateRef& s) {
    json arr = json::array();
    for (std::size_t i = 0; i < s.workspaces.size(); ++i) {
        const Workspace& w = s.workspaces[i];
        arr.push_back({{"floating_count", w.floating.size()},
                       {"focused", i == s.current_workspace},
                       {"id", w.id},
                       {"name", w.name},
                       {"tiled_count", w.root.window_count()}});
    }
    return arr;
}

json focused_json(const StateRef& s) {
    if (!s.focused) return nullptr;
    auto it = s.windows.find(*s.focused);
    if (it == s.windows.end()) return nullptr;
    return {{"floating", it->second.floating}, {"id", *s.focused}, {"workspace", it->second.workspace + 1}};
}

json tree_json(const StateRef& s) {
    json list = json::array();
    for (const Workspace& w : s.workspaces) {
        list.push_back({{"floating", ids(w.floating)}, {"id", w.id}, {"name", w.name}, {"tiled", ids(w.root.windows())}});
    }
    return {{"focused_workspace", s.current_workspace + 1}, {"workspaces", std::move(list)}};
}

json monitors_json(const StateRef& s) {
    json arr = json::array();
    for (std::size_t k = 0; k < s.monitors.size(); ++k) {
        const Monitor& m = s.monitors[k];
        json shown = json::array();
        for (std::size_t ws : m.workspaces) shown.push_back(ws + 1);
        arr.push_back({{"active_workspace", m.workspace + 1},
                       {"focused", k == s.focused_monitor},
                       {"geometry", {{"height", m.rect.height}, {"width", m.rect.width}, {"x", m.rect.x}, {"y", m.rect.y}}},
                       {"name", m.name},
                       {"primary", m.primary},
                       {"workspaces", std::move(shown)}});
    }
    return arr;
}

std::vector<i3_server::WorkspaceInfo> i3_workspaces(const StateRef& s) {
    std::vector<i3_server::WorkspaceInfo> out;
    const Monitor* focused_mon = s.focused_monitor < s.monitors.size() ? &s.monitors[s.focused_monitor] : nullptr;
    for (std::size_t i = 0; i < s.workspaces.size(); ++i) {
        const auto shown_on = first_monitor_showing(s, i);
        if (!shown_on && !occupied(s.workspaces[i])) continue;
        const Monitor* where = shown_on ? &s.monitors[*shown_on] : focused_mon;
        bool urgent = false;
        for (const auto& [w, rec] : s.windows) urgent = urgent || (rec.workspace == i && rec.urgent);
        out.push_back({
            .id = static_cast<int64_t>(i + 1) * 1000000,
            .num = static_cast<int32_t>(i + 1),
            .name = s.workspaces[i].name,
            .visible = shown_on.has_value(),
            .focused = focused_mon && focused_mon->workspace == i,
            .urgent = urgent,
            .rect = where ? widen(where->rect) : i3_server::Rect{},
            .output = where ? where->name : std::string(),
        });
    }
    return out;
}

std::vector<i3_server::OutputInfo> i3_outputs(const StateRef& s) {
    std::vector<i3_server::OutputInfo> out;
    for (const Monitor& m : s.monitors) {
        std::optional<std::string> current;
        if (m.workspace < s.workspaces.size()) current = s.workspaces[m.workspace].name;
        out.push_back({.name = m.name, .active = true, .primary = m.primary, .current_workspace = current,
                       .rect = widen(m.rect)});
    }
    return out;
}

}  // namespace views

nlohmann::json WindowManager::get_workspaces_json() const { return views::workspaces_json(views::state_of(*this)); }
nlohmann::json WindowManager::get_focused_json() const { return views::focused_json(views::state_of(*this)); }
nlohmann::json WindowManager::get_tree_json() const { return views::tree_json(views::state_of(*this)); }
nlohmann::json WindowManager::get_monitors_json() const { return views::monitors_json(views::state_of(*this)); }

}  // namespace vop
