// The JSON command table: each command name, the arguments it reads and the operation it runs.
#include "core/window_manager.hpp"
#include "events/ipc_commands.hpp"

#include <cmath>
#include <limits>

namespace vop {
namespace json_args {
namespace {

const nlohmann::json* field(const nlohmann::json& args, const char* key) {
    if (!args.is_object()) return nullptr;
    auto it = args.find(key);
    return it == args.end() ? nullptr : &*it;
}

}  // namespace

std::string direction_text(const nlohmann::json& args) {
    const auto* v = field(args, "direction");
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

float amount(const nlohmann::json& args) {
    const auto* v = field(args, "amount");
    if (!v || !v->is_number()) return 0.05f;
    const double d = v->get<double>();
    // A double beyond float's range would be undefined to convert; it saturates instead.
    constexpr double kMax = std::numeric_limits<float>::max();
    if (d > kMax) return std::numeric_limits<float>::infinity();
    if (d < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

std::size_t workspace_index(const nlohmann::json& args) {
    const auto* v = field(args, "number");
    uint64_t n = 1;
    if (v && v->is_number_unsigned()) {
        n = v->get<uint64_t>();
    } else if (v && v->is_number_integer() && v->get<int64_t>() >= 0) {
        n = static_cast<uint64_t>(v->get<int64_t>());
    }
    return n == 0 ? 0 : static_cast<std::size_t>(n - 1);
}

std::string monitor_target(const nlohmann::json& args) {
    const auto* v = field(args, "target");
    return v && v->is_string() ? v->get<std::string>() : std::string("next");
}

}  // namespace json_args

namespace {

using Handler = Response (*)(WindowManager&, const nlohmann::json&);

struct Command {
    std::string_view name;
    Handler run;
};

Response answer(const XResult<void>& r) {
    return r ? Response::ok() : Response::error(r.error().to_string());
}

template <class Op>
Response with_direction(const nlohmann::json& args, Op op) {
    std::string text = json_args::direction_text(args);
    auto d = parse_direction(text);
    if (!d) return Response::error("Invalid direction: " + text);
    return answer(op(*d));
}

template <class Op>
Response on_focused(WindowManager& wm, Op op) {
    if (!wm.focused) return Response::error("No focused window");
    return answer(op(*wm.focused));
}

constexpr Command kCommands[] = {
    {"focus", [](WindowManager& wm, const nlohmann::json& a) {
         return with_direction(a, [&](Direction d) { return wm.focus_direction(d); });
     }},
    {"swap", [](WindowManager& wm, const nlohmann::json& a) {
         return with_direction(a, [&](Direction d) { return wm.swap_direction(d); });
     }},
    {"resize", [](WindowManager& wm, const nlohmann::json& a) {
         const float amount = json_args::amount(a);
         return with_direction(a, [&](Direction d) { return wm.resize_direction(d, amount); });
     }},
    {"close", [](WindowManager& wm, const nlohmann::json&) {
         return on_focused(wm, [&](Window w) { return wm.close_window(w); });
     }},
    {"toggle_floating", [](WindowManager& wm, const nlohmann::json&) {
         return on_focused(wm, [&](Window w) { return wm.toggle_floating(w); });
     }},
    {"equalize", [](WindowManager& wm, const nlohmann::json&) { return answer(wm.equalize()); }},
    {"reload", [](WindowManager& wm, const nlohmann::json&) {
         auto r = wm.reload_config();
         if (!r) return Response::error(r.error().to_string());
         return *r ? Response::error(**r) : Response::ok();
     }},
    {"workspace", [](WindowManager& wm, const nlohmann::json& a) {
         return answer(wm.switch_workspace_impl(json_args::workspace_index(a), true));
     }},
    {"move_to_workspace", [](WindowManager& wm, const nlohmann::json& a) {
         return answer(wm.move_to_workspace(json_args::workspace_index(a)));
     }},
    {"focus_monitor", [](WindowManager& wm, const nlohmann::json& a) {
         return answer(wm.focus_monitor(json_args::monitor_target(a)));
     }},
    {"move_to_monitor", [](WindowManager& wm, const nlohmann::json& a) {
         return answer(wm.move_to_monitor(json_args::monitor_target(a)));
     }},
    {"exit", [](WindowManager& wm, const nlohmann::json&) {
         // The loop finishes this tick (the reply included), then shuts down.
         wm.running = false;
         return Response::ok();
     }},
    // Events are the i3 socket's business; this socket only acknowledges.
    {"subscribe", [](WindowManager&, const nlohmann::json&) { return Response::ok(); }},
    {"get_tree", [](WindowManager& wm, const nlohmann::json&) { return Response::with_data(wm.get_tree_json()); }},
    {"get_focused", [](WindowManager& wm, const nlohmann::json&) { return Response::with_data(wm.get_focused_json()); }},
    {"get_workspaces", [](WindowManager& wm, const nlohmann::json&) {
         return Response::with_data(wm.get_workspaces_json());
     }},
    {"get_monitors", [](WindowManager& wm, const nlohmann::json&) {
         return Response::with_data(wm.get_monitors_json());
     }},
};

}  // namespace

Response dispatch_json_command(WindowManager& wm, const Request& request) {
    for (const Command& c : kCommands) {
        if (c.name == request.command) return c.run(wm, request.args);
    }
    return Response::error("Unknown command: " + request.command);
}

}  // namespace vop
