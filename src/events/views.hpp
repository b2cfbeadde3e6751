// What other programs see of the state: the JSON views and the i3 workspace and output records.
#pragma once

#include "core/monitor.hpp"
#include "core/workspace.hpp"
#include "ipc/i3_server.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

namespace vop {

struct ManagedWindow;
class WindowManager;

namespace views {

// The parts of the window-manager state the views read, so they can be built without an X server.
struct StateRef {
    const std::array<Workspace, kWorkspaceCount>& workspaces;
    const std::vector<Monitor>& monitors;
    const std::map<Window, ManagedWindow>& windows;
    std::optional<Window> focused;
    std::size_t current_workspace = 0;
    std::size_t focused_monitor = 0;
};

StateRef state_of(const WindowManager& wm);

// JSON views (sorted keys).
nlohmann::json workspaces_json(const StateRef& s);
nlohmann::json focused_json(const StateRef& s);
nlohmann::json tree_json(const StateRef& s);
nlohmann::json monitors_json(const StateRef& s);

// i3 records: the workspaces that hold a window or are shown, in index order; one output per monitor.
std::vector<i3_server::WorkspaceInfo> i3_workspaces(const StateRef& s);
std::vector<i3_server::OutputInfo> i3_outputs(const StateRef& s);

}  // namespace views
}  // namespace vop
