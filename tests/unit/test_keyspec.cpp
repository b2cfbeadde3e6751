// Key-chord and colour texts: what is accepted, what it yields, and what is refused.
#include "config/keyspec.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using vop::KeyChord;
using vop::parse_color;
using vop::parse_keyspec;

TEST(KeyChordParse, ModifiersAndKeys) {
    struct Case {
        std::string text;
        std::optional<KeyChord> expected;
    } cases[] = {
        {"mod+shift+Escape", KeyChord{0x41, 0xff1b}},
        {"Mod4+Return", KeyChord{0x40, 0xff0d}},
        {"alt+F4", KeyChord{0x08, 0xffc1}},
        {"q", KeyChord{0x00, 0x71}},
        {"Q", KeyChord{0x00, 0x71}},
        {"mod+0", KeyChord{0x40, 0x30}},
        {"mod+1", KeyChord{0x40, 0x31}},
        {"a+b", KeyChord{0x00, 0x62}},
        {"mod+x+shift", KeyChord{0x41, 0x78}},
        {"Mod+Shift+Return", KeyChord{0x41, 0xff0d}},
        {"SUPER+CONTROL+mod1+Delete", KeyChord{0x4c, 0xffff}},
        {"ctrl+alt+ALT+space", KeyChord{0x0c, 0x20}},
        {"super+shift+Page_Up", KeyChord{0x41, 0xff55}},
        {"mod+comma", KeyChord{0x40, 0x2c}},
        {"z", KeyChord{0x00, 0x7a}},
        // Full lower-casing: the Kelvin sign lowers to the letter k.
        {"mod+\u212a", KeyChord{0x40, 0x6b}},
        // Refused.
        {"mod+shift", std::nullopt},
        {"shift", std::nullopt},
        {"mod+", std::nullopt},
        {"mod + q", std::nullopt},
        {"mod+ q", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"Print", std::nullopt},
        {"XF86AudioMute", std::nullopt},
        {"mod+,", std::nullopt},
        {"mod+/", std::nullopt},
        {"f13", std::nullopt},
        {"f0", std::nullopt},
        {"mod+\u00e4", std::nullopt},
        // An unknown word is just an earlier key token, replaced by the later one.
        {"hyper+a", KeyChord{0x00, 0x61}},
        {"a+hyper", std::nullopt},
        {"mod+a\xff", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_keyspec(c.text), c.expected);
    }
}

TEST(KeyChordParse, EveryNamedKey) {
    struct Case {
        const char* name;
        uint32_t keysym;
    } cases[] = {
        {"left", 0xff51},      {"up", 0xff52},          {"right", 0xff53},      {"down", 0xff54},
        {"home", 0xff50},      {"end", 0xff57},         {"pageup", 0xff55},     {"page_up", 0xff55},
        {"pagedown", 0xff56},  {"page_down", 0xff56},   {"return", 0xff0d},     {"enter", 0xff0d},
        {"escape", 0xff1b},    {"esc", 0xff1b},         {"tab", 0xff09},        {"backspace", 0xff08},
        {"delete", 0xffff},    {"space", 0x20},         {"f1", 0xffbe},         {"f2", 0xffbf},
        {"f3", 0xffc0},        {"f4", 0xffc1},          {"f5", 0xffc2},         {"f6", 0xffc3},
        {"f7", 0xffc4},        {"f8", 0xffc5},          {"f9", 0xffc6},         {"f10", 0xffc7},
        {"f11", 0xffc8},       {"f12", 0xffc9},         {"comma", 0x2c},        {"period", 0x2e},
        {"semicolon", 0x3b},   {"backslash", 0x5c},     {"slash", 0x2f},        {"minus", 0x2d},
        {"equal", 0x3d},       {"grave", 0x60},         {"bracketleft", 0x5b},  {"bracketright", 0x5d},
        {"apostrophe", 0x27},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_keyspec(std::string("ctrl+") + c.name), (KeyChord{0x04, c.keysym}));
    }
    for (char ch = 'a'; ch <= 'z'; ++ch) EXPECT_EQ(parse_keyspec(std::string(1, ch)), (KeyChord{0, uint32_t(ch)}));
    for (char ch = '0'; ch <= '9'; ++ch) EXPECT_EQ(parse_keyspec(std::string(1, ch)), (KeyChord{0, uint32_t(ch)}));
}

TEST(ColorParse, AcceptedAndRefused) {
    struct Case {
        std::string text;
        std::optional<uint32_t> expected;
    } cases[] = {
        {"#5294e2", 0x5294e2},
        {"5294e2", 0x5294e2},
        {"#5294E2", 0x5294e2},
        {"#fff", 0xfff},
        {"#+ff", 0xff},
        {"+ff", 0xff},
        {"##fff", 0xfff},
        {"#ffffffff", 0xffffffff},
        {"#00000000012", 0x12},
        {"0", 0},
        // Refused.
        {"", std::nullopt},
        {"#", std::nullopt},
        {"##", std::nullopt},
        {"+", std::nullopt},
        {"#+", std::nullopt},
        {"++ff", std::nullopt},
        {"+#ff", std::nullopt},
        {"#ggg", std::nullopt},
        {"100000000", std::nullopt},
        {"#1ffffffff", std::nullopt},
        {"ffffffffffffffffffff", std::nullopt},
        {"-1", std::nullopt},
        {"0x12", std::nullopt},
        {" fff", std::nullopt},
        {"fff ", std::nullopt},
        {"ff#f", std::nullopt},
        {std::string("ff\0f", 4), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_color(c.text), c.expected);
    }
}
