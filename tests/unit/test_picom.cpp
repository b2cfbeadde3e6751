// The generated compositor file: the default text byte for byte, each optional section, escaping of texts.
#include "config/picom.hpp"
#include "lua_test_env.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace vop;
using vop::testing::read_file;

namespace {

const std::filesystem::path kHome = "/home/u";

std::string gen(const Config& c) { return picom::generate(c, kHome); }

// The text between the line `first` and the next empty line (or the end), `first` included.
std::string section(const std::string& text, const std::string& first) {
    auto at = text.find("\n" + first + "\n");
    if (at == std::string::npos) return "<no section " + first + ">";
    auto end = text.find("\n\n", at + 1);
    return text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(PicomConfig, DefaultSettingsGiveTheKeptFile) {
    const auto kept = std::filesystem::path(__FILE__).parent_path() / "picom_default.conf";
    const std::string want = read_file(kept);
    ASSERT_FALSE(want.empty()) << kept;
    EXPECT_EQ(gen(Config{}), want);
}

TEST(PicomConfig, DisabledSectionsCollapseToTheirComments) {
    Config c;
    c.blur_enabled = c.shadow_enabled = c.fade_enabled = false;
    const std::string t = gen(c);
    EXPECT_NE(t.find("];\n\n# Blur disabled\n\n# Shadows disabled\nshadow = false;\n\n# Fading disabled\nfading = "
                     "false;\n\n# Focus opacity"),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("blur-method"), std::string::npos);
    EXPECT_EQ(t.find("shadow-exclude"), std::string::npos);
    EXPECT_EQ(t.find("fade-exclude"), std::string::npos);
}

TEST(PicomConfig, UnfocusedOpacityBelowOneWritesBothOpacities) {
    Config c;
    c.opacity_unfocused = 0.9;
    EXPECT_EQ(section(gen(c), "# Focus Opacity"),
              "# Focus Opacity\nactive-opacity = 1.00;\ninactive-opacity = 0.90;\nframe-opacity = 1.0;");
    // NaN and exactly 1 count as fully opaque.
    for (double v : {1.0, std::nan(""), 1.5}) {
        c.opacity_unfocused = v;
        EXPECT_TRUE(has_line(gen(c), "# Focus opacity: all windows fully opaque")) << v;
    }
}

TEST(PicomConfig, NumbersUseTwoDecimalsRoundedToEven) {
    Config c;
    c.shadow_opacity = 0.125;
    c.shadow_offset_x = -3;
    c.shadow_offset_y = 4;
    const std::string t = gen(c);
    EXPECT_TRUE(has_line(t, "shadow-opacity = 0.12;")) << t;
    EXPECT_TRUE(has_line(t, "shadow-offset-x = -3;"));
    EXPECT_TRUE(has_line(t, "shadow-offset-y = 4;"));
}

TEST(PicomConfig, AnimationPresets) {
    struct Case {
        const char* open;
        const char* close;
        const char* want_open;   // nullptr: the section is disabled
        const char* want_close;
    };
    const Case cases[] = {
        {"fly-in", "none", "fly-in", "disappear"},
        {"none", "slide-out", "appear", "slide-out"},
        {"disappear", "appear", "disappear", "appear"},
        {"Fly-In", "none", nullptr, nullptr},
        {"none", "none", nullptr, nullptr},
        {"", "fly-in ", nullptr, nullptr},
    };
    for (const auto& k : cases) {
        Config c;
        c.animation_open = k.open;
        c.animation_close = k.close;
        c.animation_duration = 0.2;
        const std::string t = gen(c);
        if (!k.want_open) {
            EXPECT_TRUE(has_line(t, "# Animations disabled")) << k.open << " / " << k.close;
            continue;
        }
        const std::string want = fmt::format(
            "# Animations\nanimations = ({{\n    triggers = [\"open\", \"show\"];\n    preset = \"{}\";\n"
            "    duration = 0.20;\n}},\n{{\n    triggers = [\"close\", \"hide\"];\n    preset = \"{}\";\n"
            "    duration = 0.20;\n}},\n{{\n    triggers = [\"geometry\"];\n    preset = \"geometry-change\";\n"
            "    duration = 0.10;\n}});",
            k.want_open, k.want_close);
        EXPECT_EQ(section(t, "# Animations"), want) << k.open << " / " << k.close;
    }
}

TEST(PicomConfig, ShaderPathsExpandTheHomeDirectory) {
    struct Case {
        const char* given;
        const char* want;
    };
    const Case cases[] = {{"~/s.glsl", "/home/u/s.glsl"},
                          {"/abs/s.glsl", "/abs/s.glsl"},
                          {"~", "~"},
                          {"~/", "/home/u/"},
                          {"~user/s.glsl", "~user/s.glsl"},
                          {"rel/~/s", "rel/~/s"}};
    for (const auto& k : cases) {
        Config c;
        c.picom_shader = k.given;
        EXPECT_EQ(section(gen(c), "# Custom Shader"),
                  fmt::format("# Custom Shader\nwindow-shader-fg = \"{}\";", k.want))
            << k.given;
    }
    EXPECT_EQ(picom::expand_home("~/s.glsl", std::nullopt), "~/s.glsl");
    // Invalid UTF-8 in the home directory is replaced, never written raw.
    EXPECT_EQ(picom::expand_home("~/a", std::filesystem::path("/h\xff")), "/h\xEF\xBF\xBD/a");
}

TEST(PicomConfig, RulesListEveryPresentFieldAndNoTrailingComma) {
    Config c;
    c.picom_rules.push_back({"class_g = 'Alacritty'", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt});
    c.picom_rules.push_back({"name = \"My \\ Term\"", 8u, 0.855, false, true, std::string("~/r.glsl")});
    EXPECT_EQ(section(gen(c), "# Per-window Rules"),
              "# Per-window Rules\n"
              "rules = (\n"
              "    {\n"
              "        match = \"class_g = 'Alacritty'\";\n"
              "    },\n"
              "    {\n"
              "        match = \"name = \\\"My \\\\ Term\\\"\";\n"
              "        corner-radius = 8;\n"
              "        opacity = 0.85;\n"
              "        shadow = false;\n"
              "        blur-background = true;\n"
              "        shader = \"/home/u/r.glsl\";\n"
              "    }\n"
              ");");
}

TEST(PicomConfig, OneRuleWithOnlyAMatchIsThreeLines) {
    Config c;
    c.picom_rules.push_back({"a", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    EXPECT_EQ(section(gen(c), "# Per-window Rules"), "# Per-window Rules\nrules = (\n    {\n        match = \"a\";\n    }\n);");
}

TEST(PicomConfig, EscapingKeepsPlainTextsAndNeutralisesSyntax) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"dual_kawase", "dual_kawase"},
        {"name *= 'Grüße'", "name *= 'Grüße'"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"l1\nl2", "l1\\nl2"},
        {"t\tr\r", "t\\tr\\r"},
        {std::string("x\x01y\x7f", 4), "x\\x01y\\x7f"},
        {"", ""},
    };
    for (const auto& k : cases) EXPECT_EQ(picom::escape(k.in), k.out) << k.in;

    // A hostile method name cannot end its string or add lines to the file.
    Config c;
    c.blur_method = "x\";\nbackend = \"xrender";
    const std::string t = gen(c);
    EXPECT_TRUE(has_line(t, "blur-method = \"x\\\";\\nbackend = \\\"xrender\";")) << t;
    EXPECT_FALSE(has_line(t, "backend = \"xrender\";"));
}
