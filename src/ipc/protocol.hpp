// The JSON socket's records: a request read from a line, a response written as a line.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vop {

// Values nested deeper than this are refused before parsing; no request needs more than a few levels.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Whether no array or object in `text` is nested deeper than `max_depth` (brackets inside strings
// do not count). Cheap enough to run on every line before it reaches the parser.
bool json_depth_within(std::string_view text, std::size_t max_depth = kMaxJsonDepth);

// The whole of `text` as one JSON value (white space around it allowed), or a discarded value. The parser on
// its own ends the text at a NUL byte, so {"command":"exit"} followed by a NUL and anything would pass;
// a NUL is never valid JSON text. Values nested deeper than kMaxJsonDepth are refused before parsing.
nlohmann::json parse_whole_json(std::string_view text, const nlohmann::json::parser_callback_t& cb = nullptr);

struct Request {
    std::string command;
    nlohmann::json args;  // null when the request has none

    // One request line (without or with its line feed): {"command":..,"args":..} or [command, args].
    // Nothing for anything else: bad JSON, a missing or non-string command, a repeated key,
    // an array of the wrong length, anything but white space after the value (a NUL byte included).
    static std::optional<Request> parse(std::string_view line);
};

struct Response {
    bool success = false;
    std::optional<nlohmann::json> data;
    std::optional<std::string> error_message;

    static Response ok() { return {true, std::nullopt, std::nullopt}; }
    static Response with_data(nlohmann::json data) { return {true, std::move(data), std::nullopt}; }
    static Response error(std::string message) { return {false, std::nullopt, std::move(message)}; }

    // Compact JSON with the keys "success", "data", "error" in that order, absent ones left out.
    // Invalid UTF-8 in texts is replaced, so this never fails.
    std::string to_json() const;
};

}  // namespace vop
