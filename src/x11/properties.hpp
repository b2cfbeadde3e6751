// Values read from client-window properties: hints, struts and class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vop {

struct WmHints {
    std::optional<uint32_t> initial_state;  // only with StateHint and at least three values
    bool input = true;                      // wants keyboard focus from the window manager
    bool urgent = false;                    // UrgencyHint
    bool operator==(const WmHints&) const = default;
};

// Screen edges a dock reserves, in pixels.
struct Strut {
    uint32_t left = 0;
    uint32_t right = 0;
    uint32_t top = 0;
    uint32_t bottom = 0;
    bool operator==(const Strut&) const = default;
};

// The two texts of WM_CLASS.
struct WmClass {
    std::string instance;
    std::string class_name;
    bool operator==(const WmClass&) const = default;
};


}  // namespace vop
