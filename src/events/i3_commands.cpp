// The i3 message table: what each i3 IPC message type does and the payload it is answered with.
#include "core/window_manager.hpp"
#include "ipc/i3_server.hpp"
#include "logging.hpp"
#include "util/debug_form.hpp"
#include "util/unicode.hpp"
#include "events/ipc_commands.hpp"
#include "events/views.hpp"

#include <charconv>

namespace vop {
namespace i3_text {
namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The code point starting at s[i] (well-formed UTF-8 assumed) and its length in bytes.
std::pair<char32_t, std::size_t> decode_at(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + len > s.size()) return {U'\uFFFD', 1};
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return {c, len};
}

}  // namespace

std::string_view trim(std::string_view s) {
    while (!s.empty()) {
        auto [c, len] = decode_at(s, 0);
        if (!is_white_space(c)) break;
        s.remove_prefix(len);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        auto [c, len] = decode_at(s, start);
        if (!is_white_space(c) || start + len != s.size()) break;
        s.remove_suffix(len);
    }
    return s;
}

std::optional<uint64_t> parse_number(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;  // too large
    return n;
}

std::string unquote(std::string_view s) {
    if (s.size() < 2 || s.front() != '"') return std::string(s);
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\')) {
            out += s[++i];
        } else if (c == '"') {
            return i + 1 == s.size() ? out : std::string(s);
        } else {
            out += c;
        }
    }
    return std::string(s);  // never closed
}

std::optional<std::size_t> resolve_workspace(std::string_view x, const std::array<Workspace, kWorkspaceCount>& ws) {
    if (auto n = parse_number(x)) {
        const uint64_t index = *n == 0 ? 0 : *n - 1;
        if (index < ws.size()) return static_cast<std::size_t>(index);
    }
    for (std::size_t i = 0; i < ws.size(); ++i) {
        if (ws[i].name == x) return i;
    }
    return std::nullopt;
}

}  // namespace i3_text

namespace {

constexpr const char* kTarget = "vop::x11::events";
constexpr std::string_view kCommandSuccess = R"([{"success":true}])";
constexpr std::string_view kCommandFailure = R"([{"success":false,"error":"command failed"}])";
constexpr std::string_view kSubscribeReply = R"({"success":true})";
constexpr std::string_view kUnsupported = R"({"success":false,"error":"unsupported"})";

std::string_view switch_to(WindowManager& wm, std::size_t index) {
    if (auto r = wm.switch_workspace_impl(index, false); !r) {
        log::warn(kTarget, "Failed to switch workspace: {}", r.error().to_string());
        return kCommandFailure;
    }
    return kCommandSuccess;
}

// The command text is a single command: no ';' or ',' lists and no criteria.
std::string run_command(WindowManager& wm, std::size_t, std::string_view payload) {
    const std::string_view text = i3_text::trim(unicode::is_valid_utf8(payload) ? payload : std::string_view());
    log::debug(kTarget, "Executing i3 command: {}", text);
    constexpr std::string_view kNumberPrefix = "workspace number ";
    constexpr std::string_view kPrefix = "workspace ";
    // i3 clients quote what they send: a bar's click on workspace 3 says `workspace "3"`.
    if (text.starts_with(kNumberPrefix)) {
        auto n = i3_text::parse_number(i3_text::unquote(i3_text::trim(text.substr(kNumberPrefix.size()))));
        if (!n) return std::string(kCommandFailure);
        const uint64_t index = *n == 0 ? 0 : *n - 1;
        if (index >= wm.workspaces.size()) return std::string(kCommandFailure);
        return std::string(switch_to(wm, static_cast<std::size_t>(index)));
    }
    if (text.starts_with(kPrefix)) {
        const std::string x = i3_text::unquote(i3_text::trim(text.substr(kPrefix.size())));
        if (auto index = i3_text::resolve_workspace(x, wm.workspaces)) return std::string(switch_to(wm, *index));
        log::warn(kTarget, "Workspace not found: {}", x);
        return std::string(kCommandFailure);
    }
    log::debug(kTarget, "Unknown i3 command: {}", text);
    return std::string(kCommandFailure);
}

std::string get_workspaces(WindowManager& wm, std::size_t, std::string_view) {
    auto list = views::i3_workspaces(views::state_of(wm));
    std::vector<std::string> focused;
    for (const auto& w : list) {
        if (w.focused) focused.push_back(w.name);
    }
    log::debug(kTarget, "GET_WORKSPACES: returning {} workspaces, focused: {}", list.size(), dbg::list(focused));
    return i3_server::build_workspaces_json(list);
}

std::string subscribe(WindowManager& wm, std::size_t client, std::string_view payload) {
    if (auto names = i3_server::parse_subscribe_payload(payload); names && wm.i3_ipc_server) {
        wm.i3_ipc_server->subscribe(client, std::move(*names));
    }
    return std::string(kSubscribeReply);
}

std::string get_outputs(WindowManager& wm, std::size_t, std::string_view) {
    return i3_server::build_outputs_json(views::i3_outputs(views::state_of(wm)));
}

std::string unsupported(WindowManager&, std::size_t, std::string_view) { return std::string(kUnsupported); }

std::string get_version(WindowManager&, std::size_t, std::string_view) { return i3_server::build_version_json(); }

using Handler = std::string (*)(WindowManager&, std::size_t, std::string_view);

// Indexed by message type; every type past the end is unsupported.
constexpr Handler kMessages[] = {
    run_command,  // RUN_COMMAND
    get_workspaces,  // GET_WORKSPACES
    subscribe,  // SUBSCRIBE
    get_outputs,  // GET_OUTPUTS
    unsupported,  // GET_TREE
    unsupported,  // GET_MARKS
    unsupported,  // GET_BAR_CONFIG
    get_version,  // GET_VERSION
};
static_assert(std::size(kMessages) == i3_compat::kGetVersion + 1);

}  // namespace

void dispatch_i3_message(WindowManager& wm, std::size_t client, const I3Message& message) {
    const Handler handle = message.type < std::size(kMessages) ? kMessages[message.type] : unsupported;
    const std::string reply = handle(wm, client, message.payload);
    // A bar that switched workspaces hears of the switch before its reply, as from any other cause.
    wm.publish_workspace_changes();
    if (wm.i3_ipc_server) wm.i3_ipc_server->send_response(client, message.type, reply);
}

}  // namespace vop
