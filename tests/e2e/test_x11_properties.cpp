// Property readers and the placement policy against windows a plain client made.
#include "test_x11_fixture.hpp"
#include "util/unicode.hpp"

#include <functional>

namespace vop::x11test {
namespace {

using PropertyTest = X11Test;

TEST_F(PropertyTest, FloatingPolicy) {
    struct Case {
        const char* name;
        std::function<void(xcb_window_t)> setup;
        bool floats;
        const char* reason;  // expected DEBUG line suffix, null when none
    };
    const xcb_atom_t normal = atom("_NET_WM_WINDOW_TYPE_NORMAL");
    const xcb_atom_t above = atom("_NET_WM_STATE_ABOVE");
    auto types = [&](std::vector<uint32_t> v) {
        return [&, v](xcb_window_t w) { set_u32(w, c->atoms._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, v); };
    };
    const Atoms& a = c->atoms;
    const Case cases[] = {
        {"plain window", [](xcb_window_t) {}, false, nullptr},
        {"transient", [&](xcb_window_t w) { set_u32(w, a.WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, {c->root}); }, true,
         "has WM_TRANSIENT_FOR, should float"},
        {"transient for window 0", [&](xcb_window_t w) { set_u32(w, a.WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, {0}); },
         true, "has WM_TRANSIENT_FOR, should float"},
        {"dialog", types({a._NET_WM_WINDOW_TYPE_DIALOG}), true, "has floating window type, should float"},
        {"utility", types({a._NET_WM_WINDOW_TYPE_UTILITY}), true, "has floating window type, should float"},
        {"toolbar", types({a._NET_WM_WINDOW_TYPE_TOOLBAR}), true, "has floating window type, should float"},
        {"splash", types({a._NET_WM_WINDOW_TYPE_SPLASH}), true, "has floating window type, should float"},
        {"notification", types({a._NET_WM_WINDOW_TYPE_NOTIFICATION}), true,
         "has floating window type, should float"},
        {"dialog second in the list", types({normal, a._NET_WM_WINDOW_TYPE_DIALOG}), true,
         "has floating window type, should float"},
        {"normal type", types({normal}), false, nullptr},
        {"dock is not floating", types({a._NET_WM_WINDOW_TYPE_DOCK}), false, nullptr},
        {"type stored as CARDINAL",
         [&](xcb_window_t w) { set_u32(w, a._NET_WM_WINDOW_TYPE, XCB_ATOM_CARDINAL, {a._NET_WM_WINDOW_TYPE_DIALOG}); },
         false, nullptr},
        {"modal after another state",
         [&](xcb_window_t w) { set_u32(w, a._NET_WM_STATE, XCB_ATOM_ATOM, {above, a._NET_WM_STATE_MODAL}); }, true,
         "is modal, should float"},
        {"fullscreen state only",
         [&](xcb_window_t w) { set_u32(w, a._NET_WM_STATE, XCB_ATOM_ATOM, {a._NET_WM_STATE_FULLSCREEN}); }, false,
         nullptr},
        {"transient and dialog log only the transient line",
         [&](xcb_window_t w) {
             set_u32(w, a.WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, {c->root});
             set_u32(w, a._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, {a._NET_WM_WINDOW_TYPE_DIALOG});
         },
         true, "has WM_TRANSIENT_FOR, should float"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        k.setup(w);
        records.clear();
        EXPECT_EQ(c->should_float(w), k.floats);
        if (k.reason) {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].msg, fmt::format("Window {} {}", w, k.reason));
            EXPECT_EQ(records[0].level, log::Level::Debug);
            EXPECT_EQ(records[0].target, "vop::x11::connection");
        } else {
            EXPECT_TRUE(records.empty());
        }
    }
    // A window that no longer exists simply does not float.
    EXPECT_FALSE(c->should_float(0x7fffff));
}

TEST_F(PropertyTest, DockAndDesktopAreIgnored) {
    const Atoms& a = c->atoms;
    const xcb_atom_t normal = atom("_NET_WM_WINDOW_TYPE_NORMAL");
    struct Case {
        std::vector<uint32_t> types;
        bool ignored;
    } cases[] = {{{a._NET_WM_WINDOW_TYPE_DOCK}, true},
                 {{a._NET_WM_WINDOW_TYPE_DESKTOP}, true},
                 {{normal, a._NET_WM_WINDOW_TYPE_DOCK}, true},
                 {{normal}, false},
                 {{a._NET_WM_WINDOW_TYPE_DIALOG}, false},
                 {{}, false}};
    for (const Case& k : cases) {
        xcb_window_t w = make_window();
        if (!k.types.empty()) set_u32(w, a._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, k.types);
        records.clear();
        EXPECT_EQ(c->should_ignore(w), k.ignored) << "window types " << k.types.size();
        EXPECT_EQ(logged(log::Level::Debug, fmt::format("Window {} is dock/desktop type, ignoring", w)), k.ignored);
    }
}

TEST_F(PropertyTest, WmClass) {
    struct Case {
        const char* name;
        std::optional<std::string> bytes;
        xcb_atom_t type;
        std::optional<WmClass> expected;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"two texts", "inst\0Cls\0"s, XCB_ATOM_STRING, WmClass{"inst", "Cls"}},
        {"no final NUL", "inst\0Cls"s, XCB_ATOM_STRING, WmClass{"inst", "Cls"}},
        {"leading NUL skipped", "\0inst\0Cls\0"s, XCB_ATOM_STRING, WmClass{"inst", "Cls"}},
        {"extra texts ignored", "inst\0Cls\0more\0"s, XCB_ATOM_STRING, WmClass{"inst", "Cls"}},
        {"UTF-8 texts", "caf\xc3\xa9\0Caf\xc3\xa9\0"s, XCB_ATOM_STRING, WmClass{"caf\xc3\xa9", "Caf\xc3\xa9"}},
        {"one text", "only\0"s, XCB_ATOM_STRING, std::nullopt},
        {"invalid UTF-8", "\xff\xfe\0Cls\0"s, XCB_ATOM_STRING, std::nullopt},
        {"another type", "inst\0Cls\0"s, XCB_ATOM_INTEGER, std::nullopt},
        {"absent", std::nullopt, XCB_ATOM_STRING, std::nullopt},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        if (k.bytes) set_bytes(w, XCB_ATOM_WM_CLASS, k.type, *k.bytes);
        EXPECT_EQ(c->get_wm_class(w), k.expected);
    }
}

TEST_F(PropertyTest, WindowTitle) {
    const Atoms& a = c->atoms;
    struct Case {
        const char* name;
        std::optional<std::string> net_name;
        std::optional<std::string> wm_name;
        xcb_atom_t wm_name_type;
        std::optional<std::string> expected;
    };
    const std::string long_ascii(4095, 'a');
    const Case cases[] = {
        {"_NET_WM_NAME", "h\xc3\xa9llo", std::nullopt, XCB_ATOM_STRING, "h\xc3\xa9llo"},
        {"_NET_WM_NAME preferred", "net", "legacy", XCB_ATOM_STRING, "net"},
        {"invalid _NET_WM_NAME does not fall back", "bad\xff", "legacy", XCB_ATOM_STRING, std::nullopt},
        {"empty _NET_WM_NAME falls back", "", "legacy", XCB_ATOM_STRING, "legacy"},
        {"WM_NAME only", std::nullopt, "legacy", XCB_ATOM_STRING, "legacy"},
        {"WM_NAME in Latin-1", std::nullopt, "caf\xe9", XCB_ATOM_STRING, std::nullopt},
        {"WM_NAME of another type reads as empty", std::nullopt, "x", a.UTF8_STRING, ""},
        {"none", std::nullopt, std::nullopt, XCB_ATOM_STRING, std::nullopt},
        // Read limit is 4096 bytes: a cut inside the last character keeps the complete ones.
        {"cut inside a character", long_ascii + "\xc3\xa9tail", std::nullopt, XCB_ATOM_STRING, long_ascii},
        {"cut on a boundary", std::string(4096, 'b') + "more", std::nullopt, XCB_ATOM_STRING,
         std::string(4096, 'b')},
        {"invalid byte before the cut", "\xff" + std::string(5000, 'c'), std::nullopt, XCB_ATOM_STRING,
         std::nullopt},
        {"incomplete character without a cut", "abc\xc3", std::nullopt, XCB_ATOM_STRING, std::nullopt},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        if (k.net_name) set_bytes(w, a._NET_WM_NAME, a.UTF8_STRING, *k.net_name);
        if (k.wm_name) set_bytes(w, XCB_ATOM_WM_NAME, k.wm_name_type, *k.wm_name);
        EXPECT_EQ(c->get_window_title(w), k.expected);
    }
}

TEST_F(PropertyTest, WmHints) {
    struct Case {
        const char* name;
        std::vector<uint32_t> values;
        int format;
        std::optional<WmHints> expected;
    };
    const Case cases[] = {
        {"flags 0", {0, 0, 0, 0, 0, 0, 0, 0, 0}, 32, WmHints{std::nullopt, true, false}},
        {"input false", {0x1, 0}, 32, WmHints{std::nullopt, false, false}},
        {"input true", {0x1, 1}, 32, WmHints{std::nullopt, true, false}},
        {"input flag but one value", {0x1}, 32, WmHints{std::nullopt, true, false}},
        {"initial state", {0x3, 1, 3}, 32, WmHints{3u, true, false}},
        {"state flag without the value", {0x2, 1}, 32, WmHints{std::nullopt, true, false}},
        {"urgent", {0x100, 0, 0}, 32, WmHints{std::nullopt, true, true}},
        {"format 8", {0x100}, 8, std::nullopt},
        {"absent", {}, 32, std::nullopt},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        if (k.format == 8)
            set_bytes(w, c->atoms.WM_HINTS, c->atoms.WM_HINTS, "\x00\x01\x00\x00");
        else if (!k.values.empty())
            set_u32(w, c->atoms.WM_HINTS, c->atoms.WM_HINTS, k.values);
        EXPECT_EQ(c->get_wm_hints(w), k.expected);
    }
}

TEST_F(PropertyTest, Struts) {
    const Atoms& a = c->atoms;
    struct Case {
        const char* name;
        std::vector<uint32_t> partial;
        std::vector<uint32_t> legacy;
        std::optional<Strut> expected;
    };
    const Case cases[] = {
        {"partial before legacy, with its spans",
         {0, 0, 0, 86, 0, 0, 0, 0, 0, 0, 1920, 3199},
         {5, 5, 5, 5},
         Strut{.bottom = 86, .left_end_y = 0, .right_end_y = 0, .top_end_x = 0, .bottom_start_x = 1920,
               .bottom_end_x = 3199}},
        {"legacy only: whole edges", {}, {10, 20, 0, 40}, Strut{10, 20, 0, 40}},
        {"partial too short falls back", {0, 0, 30}, {0, 0, 25, 0}, Strut{0, 0, 25, 0}},
        {"partial without spans: whole edges", {0, 0, 30, 0}, {}, Strut{0, 0, 30, 0}},
        {"none", {}, {}, std::nullopt},
        // Hostile values are held to the screen (1920x1080), so they cannot wrap the work area.
        {"hostile values clamped", {0xFFFFFFF0u, 5000, 0x80000000u, 1081}, {}, Strut{1920, 1920, 1080, 1080}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        if (!k.partial.empty()) set_u32(w, a._NET_WM_STRUT_PARTIAL, XCB_ATOM_CARDINAL, k.partial);
        if (!k.legacy.empty()) set_u32(w, a._NET_WM_STRUT, XCB_ATOM_CARDINAL, k.legacy);
        EXPECT_EQ(c->get_strut(w), k.expected);
    }
}

TEST_F(PropertyTest, SupportsDeleteWindow) {
    const Atoms& a = c->atoms;
    const xcb_atom_t take_focus = atom("WM_TAKE_FOCUS");
    struct Case {
        const char* name;
        std::vector<uint32_t> values;
        xcb_atom_t type;
        bool expected;
    } cases[] = {
        {"listed second", {take_focus, a.WM_DELETE_WINDOW}, XCB_ATOM_ATOM, true},
        {"not listed", {take_focus}, XCB_ATOM_ATOM, false},
        {"stored as CARDINAL", {a.WM_DELETE_WINDOW}, XCB_ATOM_CARDINAL, false},
        {"absent", {}, XCB_ATOM_ATOM, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        xcb_window_t w = make_window();
        if (!k.values.empty()) set_u32(w, a.WM_PROTOCOLS, k.type, k.values);
        EXPECT_EQ(c->supports_delete_window(w), k.expected);
    }
    EXPECT_FALSE(c->supports_delete_window(0x7fffff));
}

TEST(Utf8Decoding, Strict) {
    EXPECT_EQ(vop::unicode::decode_utf8("plain"), "plain");
    EXPECT_EQ(vop::unicode::decode_utf8("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80", "a\xe2\x82"})
        EXPECT_EQ(vop::unicode::decode_utf8(bad), std::nullopt) << bad;
    EXPECT_EQ(vop::unicode::decode_utf8("ab\xf0\x9f\x98", true), "ab");
    EXPECT_EQ(vop::unicode::decode_utf8("ab\xf0\x28", true), std::nullopt);  // broken, not merely cut
}

}  // namespace
}  // namespace vop::x11test
