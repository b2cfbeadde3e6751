// Rect and Direction: the geometry value types shared by the core, the X layer and IPC.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace vop {

struct Rect {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    bool operator==(const Rect&) const = default;
};

enum class Direction : uint8_t { Left = 0, Right = 1, Up = 2, Down = 3 };

inline const char* direction_name(Direction d) {
    switch (d) {
        case Direction::Left: return "Left";
        case Direction::Right: return "Right";
        case Direction::Up: return "Up";
        case Direction::Down: return "Down";
    }
    return "?";
}

// "left", "right", "up", "down" in any case.
inline std::optional<Direction> parse_direction(std::string_view s) {
    auto eq = [&](std::string_view n) {
        if (s.size() != n.size()) return false;
        for (size_t i = 0; i < s.size(); ++i) {
            char c = s[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != n[i]) return false;
        }
        return true;
    };
    if (eq("left")) return Direction::Left;
    if (eq("right")) return Direction::Right;
    if (eq("up")) return Direction::Up;
    if (eq("down")) return Direction::Down;
    return std::nullopt;
}

}  // namespace vop

// Debug forms: Rect { x: 0, y: 0, width: 1920, height: 1080 } and Left/Right/Up/Down.
template <>
struct fmt::formatter<vop::Rect> : fmt::formatter<std::string_view> {
    auto format(const vop::Rect& r, format_context& ctx) const {
        return fmt::format_to(ctx.out(), "Rect {{ x: {}, y: {}, width: {}, height: {} }}", r.x, r.y, r.width,
                              r.height);
    }
};
template <>
struct fmt::formatter<vop::Direction> : fmt::formatter<std::string_view> {
    auto format(vop::Direction d, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(vop::direction_name(d), ctx);
    }
};
