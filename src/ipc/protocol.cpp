// Parsing of JSON request lines and serialisation of responses.
#include "ipc/protocol.hpp"

#include <string>

namespace vop {

using nlohmann::json;

bool json_depth_within(std::string_view text, std::size_t max_depth) {
    std::size_t depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
            continue;
        }
        switch (c) {
            case '"': in_string = true; break;
            case '[':
            case '{':
                if (++depth > max_depth) return false;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default: break;
        }
    }
    return true;
}

json parse_whole_json(std::string_view text, const json::parser_callback_t& cb) {
    if (text.find('\0') != std::string_view::npos || !json_depth_within(text)) return json(json::value_t::discarded);
    return json::parse(text.begin(), text.end(), cb, /*allow_exceptions=*/false);
}

std::optional<Request> Request::parse(std::string_view line) {
    // The parser keeps the last of repeated keys; a request that names one twice is ambiguous. Counting
    // the keys is enough to tell, and stays linear for a line of a hundred thousand keys: the parsed
    // object holds fewer members than keys were read exactly when one repeats.
    std::size_t top_keys = 0;
    json::parser_callback_t cb = [&](int depth, json::parse_event_t ev, json&) {
        if (ev == json::parse_event_t::key && depth == 1) ++top_keys;
        return true;
    };
    json j = parse_whole_json(line, cb);
    if (j.is_discarded() || (j.is_object() && j.size() != top_keys)) return std::nullopt;

    if (j.is_object()) {
        auto cmd = j.find("command");
        if (cmd == j.end() || !cmd->is_string()) return std::nullopt;
        Request r{cmd->get<std::string>(), nullptr};
        if (auto a = j.find("args"); a != j.end()) r.args = std::move(*a);
        return r;
    }
    if (j.is_array() && (j.size() == 1 || j.size() == 2) && j[0].is_string()) {
        Request r{j[0].get<std::string>(), nullptr};
        if (j.size() == 2) r.args = std::move(j[1]);
        return r;
    }
    return std::nullopt;
}

std::string Response::to_json() const {
    constexpr auto replace = json::error_handler_t::replace;
    std::string out;
    out.reserve(128);
    out += success ? "{\"success\":true" : "{\"success\":false";
    if (data) {
        out += ",\"data\":";
        out += data->dump(-1, ' ', false, replace);
    }
    if (error_message) {
        out += ",\"error\":";
        out += json(*error_message).dump(-1, ' ', false, replace);
    }
    out += '}';
    return out;
}

}  // namespace vop
