// parse_keyspec and parse_color: key chords and colours of the configuration script.
#include "config/keyspec.hpp"

#include "util/unicode.hpp"

#include <string>
#include <utility>

namespace vop {

namespace {

constexpr std::pair<std::string_view, uint16_t> kModifierWords[] = {
    {"mod", kModMod4},
    {"super", kModMod4},
    {"mod4", kModMod4},
    {"alt", kModMod1},
    {"mod1", kModMod1},
    {"ctrl", kModControl},
    {"control", kModControl},
    {"shift", kModShift},
};

// The only key names a chord may use; single letters and digits are handled apart. Names
// outside this table are refused rather than looked up in the keyboard's keysym database.
constexpr std::pair<std::string_view, uint32_t> kKeyNames[] = {
    {"left", 0xff51},        {"up", 0xff52},          {"right", 0xff53},
    {"down", 0xff54},        {"home", 0xff50},        {"end", 0xff57},
    {"pageup", 0xff55},      {"page_up", 0xff55},     {"pagedown", 0xff56},
    {"page_down", 0xff56},   {"return", 0xff0d},      {"enter", 0xff0d},
    {"escape", 0xff1b},      {"esc", 0xff1b},         {"tab", 0xff09},
    {"backspace", 0xff08},   {"delete", 0xffff},      {"space", 0x20},
    {"f1", 0xffbe},          {"f2", 0xffbf},          {"f3", 0xffc0},
    {"f4", 0xffc1},          {"f5", 0xffc2},          {"f6", 0xffc3},
    {"f7", 0xffc4},          {"f8", 0xffc5},          {"f9", 0xffc6},
    {"f10", 0xffc7},         {"f11", 0xffc8},         {"f12", 0xffc9},
    {"comma", 0x2c},         {"period", 0x2e},        {"semicolon", 0x3b},
    {"backslash", 0x5c},     {"slash", 0x2f},         {"minus", 0x2d},
    {"equal", 0x3d},         {"grave", 0x60},         {"bracketleft", 0x5b},
    {"bracketright", 0x5d},  {"apostrophe", 0x27},
};

std::optional<uint16_t> modifier_bit(std::string_view token) {
    for (const auto& [word, bit] : kModifierWords) {
        if (word == token) return bit;
    }
    return std::nullopt;
}

std::optional<uint32_t> keysym_of(std::string_view token) {
    if (token.size() == 1) {
        const char c = token[0];
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) return static_cast<uint32_t>(c);
        return std::nullopt;
    }
    for (const auto& [name, keysym] : kKeyNames) {
        if (name == token) return keysym;
    }
    return std::nullopt;
}

}  // namespace

std::optional<KeyChord> parse_keyspec(std::string_view text) {
    const std::string lowered = unicode::to_lower(text);
    const std::string_view s = lowered;
    uint16_t mask = 0;
    std::optional<std::string_view> key;
    size_t start = 0;
    while (true) {
        const size_t plus = s.find('+', start);
        const std::string_view token = s.substr(start, plus == std::string_view::npos ? s.npos : plus - start);
        if (auto bit = modifier_bit(token)) {
            mask |= *bit;
        } else {
            key = token;
        }
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }
    if (!key) return std::nullopt;
    auto keysym = keysym_of(*key);
    if (!keysym) return std::nullopt;
    return KeyChord{mask, *keysym};
}

std::optional<uint32_t> parse_color(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == '#') ++i;
    if (i < text.size() && text[i] == '+') ++i;
    if (i == text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
        if (value > 0xffffffffULL) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace vop
