// Values read from client-window properties: hints, struts and class.
#pragma once

#include "core/strut.hpp"

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

// The two texts of WM_CLASS.
struct WmClass {
    std::string instance;
    std::string class_name;
    bool operator==(const WmClass&) const = default;
};


}  // namespace vop
