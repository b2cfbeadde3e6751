// Monitor: one output in use, with its area and the workspace it shows.
#pragma once

#include "core/rect.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vop {

// There are ten workspaces and no two monitors may show the same one, so at most ten monitors are served.
inline constexpr size_t kMaxMonitors = 10;

struct Monitor {
    std::string name;               // RandR output name, or "default" for the fallback
    std::vector<size_t> workspaces;  // workspaces assigned to this monitor
    Rect rect;                      // area in root coordinates
    size_t workspace = 0;           // index of the workspace it shows
    uint32_t output = 0;            // RandR output id; 0 for the fallback
    bool primary = false;           // RandR's primary output

    // The single monitor covering the whole screen, used when RandR yields nothing.
    static Monitor fallback(uint16_t screen_width, uint16_t screen_height) {
        Monitor m;
        m.name = "default";
        m.rect = Rect{0, 0, screen_width, screen_height};
        return m;
    }
};

}  // namespace vop
