// Dialogs and their owners: whose dialog a window is, the dialogs a window has, and who owns them when it goes.
#include "core/window_manager.hpp"

#include <algorithm>

namespace vop {
namespace {
// Dialogs of dialogs are a few deep; a client naming a loop or an endless chain is not followed further.
constexpr int kMaxTransientDepth = 16;
}  // namespace

bool WindowManager::is_transient_of(Window w, Window owner) const {
    if (w == owner) return false;
    auto it = windows.find(w);
    for (int depth = 0; depth < kMaxTransientDepth && it != windows.end() && it->second.owner; ++depth) {
        if (*it->second.owner == owner) return true;
        it = windows.find(*it->second.owner);
    }
    return false;
}

std::optional<Window> WindowManager::first_managed_owner(Window w, std::optional<Window> named) {
    for (int depth = 0; depth < kMaxTransientDepth && named && *named != w; ++depth) {
        if (windows.count(*named)) return named;
        named = connection->get_transient_for(*named);
    }
    return std::nullopt;
}

std::optional<Window> WindowManager::fullscreen_owner(std::optional<Window> owner) const {
    for (int depth = 0; depth < kMaxTransientDepth && owner; ++depth) {
        auto it = windows.find(*owner);
        if (it == windows.end()) return std::nullopt;
        if (it->second.fullscreen) return owner;
        owner = it->second.owner;
    }
    return std::nullopt;
}

std::vector<Window> WindowManager::dialogs_of(Window owner) const {
    auto it = windows.find(owner);
    if (it == windows.end()) return {};
    const Workspace& ws = workspaces[it->second.workspace];
    std::vector<Window> out;
    for (Window w : ws.root.windows()) {
        if (is_transient_of(w, owner)) out.push_back(w);
    }
    for (Window w : ws.floating) {
        if (is_transient_of(w, owner) && std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
    }
    return out;
}

void WindowManager::find_owner(ManagedWindow& rec) {
    rec.transient_for = connection->get_transient_for(rec.window);
    rec.owner = first_managed_owner(rec.window, rec.transient_for);
    // Back (or new), it is the owner again of the windows that name it.
    for (auto& [x, r] : windows) {
        if (r.transient_for == rec.window) r.owner = rec.window;
    }
}

std::vector<Window> WindowManager::hand_on_dialogs(const ManagedWindow& gone) {
    // Its dialogs become dialogs of its owner, so that a dialog of a dialog of a fullscreen window stays above
    // it; a window never becomes its own owner.
    std::vector<Window> left;
    for (auto& [x, r] : windows) {
        if (r.owner != gone.window) continue;
        r.owner = gone.owner == x ? std::nullopt : gone.owner;
        if (r.workspace == gone.workspace) left.push_back(x);
    }
    return left;
}

}  // namespace vop
