// State views and i3 records built from hand-made state; the JSON argument readers and i3 command texts.
#include "core/window_manager.hpp"
#include "events/ipc_commands.hpp"
#include "events/views.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using nlohmann::json;
using namespace vop;

namespace {

// Ten workspaces and one 1920x1080 monitor showing the first, as right after start.
struct State {
    std::array<Workspace, kWorkspaceCount> workspaces;
    std::vector<Monitor> monitors;
    std::map<Window, ManagedWindow> windows;
    std::optional<Window> focused;
    size_t current_workspace = 0;
    size_t focused_monitor = 0;

    State() {
        for (size_t i = 0; i < kWorkspaceCount; ++i) {
            workspaces[i].name = std::to_string(i + 1);
            workspaces[i].id = static_cast<unsigned>(i + 1);
        }
        Monitor m = Monitor::fallback(1920, 1080);
        m.workspaces = {0};
        monitors.push_back(m);
    }
    views::StateRef ref() const {
        return {workspaces, monitors, windows, focused, current_workspace, focused_monitor};
    }
    void tile(Window w, size_t ws) {
        workspaces[ws].root.insert_with_rect(w, std::nullopt, Rect{0, 0, 1000, 1000});
        windows[w] = ManagedWindow{.workspace = ws, .window = w};
    }
    void float_(Window w, size_t ws) {
        workspaces[ws].add_floating(w);
        windows[w] = ManagedWindow{.workspace = ws, .window = w, .floating = true};
    }
};

std::string dump(const std::vector<i3_server::WorkspaceInfo>& list) { return i3_server::build_workspaces_json(list); }

}  // namespace

TEST(Views, FreshStateShowsTenEmptyWorkspacesAndOneI3Record) {
    State s;
    json ws = views::workspaces_json(s.ref());
    ASSERT_EQ(ws.size(), 10u);
    EXPECT_EQ(ws[0].dump(), R"({"floating_count":0,"focused":true,"id":1,"name":"1","tiled_count":0})");
    for (size_t i = 1; i < 10; ++i) {
        EXPECT_EQ(ws[i]["focused"], false);
        EXPECT_EQ(ws[i]["id"], i + 1);
    }
    EXPECT_EQ(views::focused_json(s.ref()), nullptr);
    EXPECT_EQ(dump(views::i3_workspaces(s.ref())),
              R"([{"id":1000000,"num":1,"name":"1","visible":true,"focused":true,"urgent":false,)"
              R"("rect":{"x":0,"y":0,"width":1920,"height":1080},"output":"default"}])");
    EXPECT_EQ(i3_server::build_outputs_json(views::i3_outputs(s.ref())),
              R"([{"name":"default","active":true,"primary":false,"current_workspace":"1",)"
              R"("rect":{"x":0,"y":0,"width":1920,"height":1080}}])");
    EXPECT_EQ(views::monitors_json(s.ref()).dump(),
              R"([{"active_workspace":1,"focused":true,"geometry":{"height":1080,"width":1920,"x":0,"y":0},)"
              R"("name":"default","primary":false,"workspaces":[1]}])");
}

TEST(Views, CountsTreeOrderAndFocusedWindow) {
    State s;
    s.tile(11, 0);
    s.tile(12, 0);
    s.tile(13, 0);
    s.float_(21, 0);
    s.float_(20, 0);
    s.tile(30, 4);
    s.focused = 20;
    json ws = views::workspaces_json(s.ref());
    EXPECT_EQ(ws[0]["tiled_count"], 3);
    EXPECT_EQ(ws[0]["floating_count"], 2);
    EXPECT_EQ(ws[4]["tiled_count"], 1);

    json tree = views::tree_json(s.ref());
    EXPECT_EQ(tree["focused_workspace"], 1);
    ASSERT_EQ(tree["workspaces"].size(), 10u);
    EXPECT_EQ(tree["workspaces"][0].dump(), R"({"floating":[21,20],"id":1,"name":"1","tiled":[11,12,13]})");
    EXPECT_EQ(tree["workspaces"][9].dump(), R"({"floating":[],"id":10,"name":"10","tiled":[]})");

    EXPECT_EQ(views::focused_json(s.ref()).dump(), R"({"floating":true,"id":20,"workspace":1})");
    s.focused = 30;
    EXPECT_EQ(views::focused_json(s.ref()).dump(), R"({"floating":false,"id":30,"workspace":5})");
    s.focused = 999;  // focused but not managed
    EXPECT_EQ(views::focused_json(s.ref()), nullptr);
}

TEST(Views, I3ListHoldsShownAndOccupiedWorkspacesOnly) {
    State s;
    s.tile(30, 4);       // hidden, tiled
    s.float_(40, 7);     // hidden, floating only
    s.windows[40].urgent = true;
    auto list = views::i3_workspaces(s.ref());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].num, 1);
    EXPECT_EQ(list[1].id, 5000000);
    EXPECT_EQ(list[1].name, "5");
    EXPECT_FALSE(list[1].visible);
    EXPECT_FALSE(list[1].focused);
    EXPECT_FALSE(list[1].urgent);
    EXPECT_EQ(list[1].output, "default");  // the focused monitor stands in for a hidden workspace
    EXPECT_EQ(list[1].rect.width, 1920);
    EXPECT_EQ(list[2].num, 8);
    EXPECT_TRUE(list[2].urgent);
}

TEST(Views, TwoMonitorsWithOneLeftOfTheOrigin) {
    State s;
    Monitor left;
    left.name = "DP-1";
    left.rect = Rect{-1280, 0, 1280, 1024};
    left.workspace = 1;
    left.workspaces = {1};
    left.primary = true;
    s.monitors.push_back(left);
    s.focused_monitor = 1;
    s.current_workspace = 1;
    s.tile(50, 2);

    json mons = views::monitors_json(s.ref());
    ASSERT_EQ(mons.size(), 2u);
    EXPECT_EQ(mons[1].dump(), R"({"active_workspace":2,"focused":true,"geometry":{"height":1024,"width":1280,)"
                              R"("x":-1280,"y":0},"name":"DP-1","primary":true,"workspaces":[2]})");
    EXPECT_EQ(mons[0]["focused"], false);

    auto list = views::i3_workspaces(s.ref());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(list[0].visible);
    EXPECT_FALSE(list[0].focused);
    EXPECT_EQ(list[0].output, "default");
    EXPECT_TRUE(list[1].focused);
    EXPECT_EQ(list[1].rect.x, -1280);
    EXPECT_EQ(list[1].output, "DP-1");
    EXPECT_EQ(list[2].output, "DP-1");  // hidden: the focused monitor
    EXPECT_EQ(list[2].rect.x, -1280);

    auto outs = views::i3_outputs(s.ref());
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[1].current_workspace, "2");
    EXPECT_TRUE(outs[1].primary);
    EXPECT_EQ(outs[1].rect.x, -1280);
}

TEST(Views, BadBytesInAnOutputNameDoNotBreakSerialisation) {
    State s;
    s.monitors[0].name = "HDMI\xff";
    EXPECT_NO_THROW(i3_server::build_outputs_json(views::i3_outputs(s.ref())));
    EXPECT_NO_THROW(Response::with_data(views::monitors_json(s.ref())).to_json());
    EXPECT_NE(Response::with_data(views::monitors_json(s.ref())).to_json().find("HDMI\xEF\xBF\xBD"), std::string::npos);
}

TEST(JsonArgs, ReadersFallBackToTheirDefaults) {
    struct Case {
        const char* args;
        size_t index;
        float amount;
        const char* direction;
        const char* target;
    };
    const Case cases[] = {
        {R"({"number":3,"amount":-1,"direction":"LEFT","target":"HDMI-1"})", 2, -1.0f, "LEFT", "HDMI-1"},
        {R"({"number":3.0,"amount":0.25})", 0, 0.25f, "", "next"},
        {R"({"number":0,"amount":7})", 0, 7.0f, "", "next"},
        {R"({"number":-2,"amount":"1","direction":3,"target":1})", 0, 0.05f, "", "next"},
        {R"({"number":"3","amount":null,"direction":null})", 0, 0.05f, "", "next"},
        {R"({"number":10})", 9, 0.05f, "", "next"},
        {R"({"number":11})", 10, 0.05f, "", "next"},  // passed on: the operation ignores it
        {R"([3, "left"])", 0, 0.05f, "", "next"},
        {"null", 0, 0.05f, "", "next"},
        {R"("number")", 0, 0.05f, "", "next"},
    };
    for (const auto& c : cases) {
        json a = json::parse(c.args);
        EXPECT_EQ(json_args::workspace_index(a), c.index) << c.args;
        EXPECT_FLOAT_EQ(json_args::amount(a), c.amount) << c.args;
        EXPECT_EQ(json_args::direction_text(a), c.direction) << c.args;
        EXPECT_EQ(json_args::monitor_target(a), c.target) << c.args;
    }
    EXPECT_EQ(json_args::workspace_index(json::parse(R"({"number":18446744073709551615})")),
              size_t{18446744073709551614u});
    EXPECT_EQ(json_args::amount(json::parse(R"({"amount":1e300})")), std::numeric_limits<float>::infinity());
    EXPECT_EQ(json_args::amount(json::parse(R"({"amount":-1e300})")), -std::numeric_limits<float>::infinity());
}

TEST(I3Text, NumbersAreUnsignedDecimalsThatFit) {
    const std::pair<const char*, std::optional<uint64_t>> cases[] = {
        {"3", 3}, {"+3", 3}, {"0", 0}, {"007", 7}, {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
        {"++3", std::nullopt}, {"-1", std::nullopt}, {"3a", std::nullopt}, {" 3", std::nullopt},
        {"3.0", std::nullopt}, {"\xd9\xa3", std::nullopt},  // an Arabic-Indic three
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(i3_text::parse_number(text), want) << text;
}

TEST(I3Text, TrimRemovesUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(i3_text::trim(" \t\n workspace 3 \r\n"), "workspace 3");
    EXPECT_EQ(i3_text::trim("\xc2\xa0workspace 3\xe3\x80\x80"), "workspace 3");  // NBSP, ideographic space
    EXPECT_EQ(i3_text::trim("\xe2\x80\x8b" "x"), "\xe2\x80\x8b" "x");          // zero-width space is not white
    EXPECT_EQ(i3_text::trim("   "), "");
    EXPECT_EQ(i3_text::trim("\xc3\xa9"), "\xc3\xa9");
}

TEST(I3Text, OnePairOfSurroundingQuotesComesOff) {
    const std::pair<const char*, const char*> cases[] = {
        {R"("3")", "3"}, {R"("")", ""}, {R"("a \"b\" \\ c\d")", R"(a "b" \ c\d)"}, {R"(""3"")", R"(""3"")"},
        {"3", "3"}, {R"(")", R"(")"}, {R"("3)", R"("3)"}, {R"("3\")", R"("3\")"}, {R"("3" x)", R"("3" x)"},
        {R"(3")", R"(3")"}, {R"('3')", R"('3')"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(i3_text::unquote(text), want) << text;
}

TEST(I3Text, WorkspaceTextsResolveByNumberThenByName) {
    State s;
    s.workspaces[5].name = "web";
    s.workspaces[6].name = "12";
    const std::pair<const char*, std::optional<size_t>> cases[] = {
        {"3", 2}, {"+3", 2}, {"0", 0}, {"10", 9}, {"11", std::nullopt}, {"web", 5}, {"Web", std::nullopt},
        {"12", 6}, {"-1", std::nullopt}, {"", std::nullopt}, {"3 ", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(i3_text::resolve_workspace(text, s.workspaces), want) << text;
}
