// Key-chord and colour texts of the configuration script, parsed into X values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vop {

// X modifier bits a chord may carry.
inline constexpr uint16_t kModShift = 0x01;
inline constexpr uint16_t kModControl = 0x04;
inline constexpr uint16_t kModMod1 = 0x08;  // alt
inline constexpr uint16_t kModMod4 = 0x40;  // super, "mod"

struct KeyChord {
    uint16_t modifiers = 0;  // X modifier mask
    uint32_t keysym = 0;     // X keysym
    bool operator==(const KeyChord&) const = default;
};

// "mod+shift+Return" and the like, case-insensitive, split at every '+' with nothing trimmed.
// The last token that is not a modifier word is the key and must be one of the known key
// names; anything else gives nothing.
std::optional<KeyChord> parse_keyspec(std::string_view text);

// "#5294e2", "5294e2", "#fff" (= 0xfff): any number of leading '#', then a hexadecimal 32-bit
// value with an optional leading '+'. Anything else gives nothing.
std::optional<uint32_t> parse_color(std::string_view text);

}  // namespace vop
