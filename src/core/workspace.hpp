// Workspace: one of the ten workspaces, with its tiling tree and floating windows.
#pragma once

#include "core/tree.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace vop {

inline constexpr size_t kWorkspaceCount = 10;

struct Workspace {
    std::string name;               // "1" to "10"
    std::vector<Window> floating;   // stacking order, last = topmost
    std::optional<Window> focused;  // the window last focused here
    Node root;                      // the tiling tree
    unsigned id = 0;                // index + 1

    // Appends unless already listed, so a window is listed at most once.
    void add_floating(Window w) {
        if (std::find(floating.begin(), floating.end(), w) == floating.end()) floating.push_back(w);
    }
    void remove_floating(Window w) { std::erase(floating, w); }
    // Tiled windows in tree order, then the floating list.
    std::vector<Window> all_windows() const {
        std::vector<Window> out = root.windows();
        out.insert(out.end(), floating.begin(), floating.end());
        return out;
    }
};

}  // namespace vop
