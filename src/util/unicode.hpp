// UTF-8 checks and full Unicode lower-casing, for case-insensitive matching of user texts.
#pragma once

#include <string>
#include <string_view>

namespace vop::unicode {

// Whether `s` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view s);

// The text with every ill-formed sequence replaced by U+FFFD (one per maximal broken run).
std::string lossy(std::string_view bytes);

// Full lower-casing: multi-character mappings (U+0130 becomes "i" + U+0307) and the Greek
// final sigma (a capital sigma ending a word becomes U+03C2). Bytes that are not well-formed
// UTF-8 are copied through unchanged.
std::string to_lower(std::string_view utf8);

}  // namespace vop::unicode
