// UTF-8 checks and full Unicode lower-casing, for case-insensitive matching of user texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vop::unicode {

// Whether `s` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view s);

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
