// UTF-8 checks, printability and full Unicode lower-casing, for matching and printing user texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vop::unicode {

// Whether `s` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view s);

// Decodes the well-formed sequence starting at s[i] into `cp`; its length, or 0 when none starts there.
std::size_t decode_one(std::string_view s, std::size_t i, uint32_t& cp);

// Whether a code point shows as itself: false for controls, format characters, private use,
// unassigned code points, line and paragraph separators and every space but U+0020.
bool is_printable(uint32_t cp);

// Strict decoding: none for ill-formed bytes. `truncated`: the source had more bytes than were read,
// so an incomplete character at the very end is dropped rather than failing the whole text.
std::optional<std::string> decode_utf8(std::string_view bytes, bool truncated = false);

// The text with every ill-formed sequence replaced by U+FFFD (one per maximal broken run).
std::string lossy(std::string_view bytes);

// Full lower-casing: multi-character mappings (U+0130 becomes "i" + U+0307) and the Greek
// final sigma (a capital sigma ending a word becomes U+03C2). Bytes that are not well-formed
// UTF-8 are copied through unchanged.
std::string to_lower(std::string_view utf8);

}  // namespace vop::unicode
