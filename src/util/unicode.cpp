// UTF-8 decoding and full lower-casing from a generated table of the Unicode case data.
#include "util/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vop::unicode {

namespace {

// Code points first..last, every `stride`-th of them, lower-case to themselves plus `delta`.
struct LowerRun {
    uint32_t first;
    uint32_t last;
    int32_t delta;
    uint32_t stride;
};

// A code point whose lower case is more than one code point.
struct LowerSpecial {
    uint32_t cp;
    uint32_t lower[2];
};

// What the final-sigma rule needs to know of a code point: case-ignorable ones (combining
// marks, apostrophes...) are looked through, cased ones decide.
enum class CaseClass : uint8_t { None, Cased, Ignorable };

struct CaseClassRange {
    uint32_t first;
    uint32_t last;
    CaseClass cls;
};

struct CodeRange {
    uint32_t first;
    uint32_t last;
};

#include "util/unicode_data.inc"

constexpr uint32_t kCapitalSigma = 0x03A3;
constexpr uint32_t kFinalSigma = 0x03C2;
constexpr uint32_t kInvalid = 0xFFFFFFFF;

// One decoded unit: a code point, or kInvalid for a single byte that starts no valid sequence.
struct Unit {
    uint32_t cp;
    size_t offset;
    size_t length;
};

// Decodes one well-formed sequence at s[i]; returns its length, or 0 when there is none.
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t len = 0;
    uint32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void encode(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

uint32_t simple_lower(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    // The last run starting at or before cp.
    const auto* end = std::end(kLowerRuns);
    const auto* it = std::upper_bound(std::begin(kLowerRuns), end, cp,
                                      [](uint32_t c, const LowerRun& r) { return c < r.first; });
    if (it == std::begin(kLowerRuns)) return cp;
    const LowerRun& r = *(it - 1);
    if (cp > r.last || (cp - r.first) % r.stride != 0) return cp;
    return static_cast<uint32_t>(static_cast<int64_t>(cp) + r.delta);
}

CaseClass case_class(uint32_t cp) {
    if (cp == kInvalid) return CaseClass::None;
    const auto* end = std::end(kCaseClasses);
    const auto* it = std::upper_bound(std::begin(kCaseClasses), end, cp,
                                      [](uint32_t c, const CaseClassRange& r) { return c < r.first; });
    if (it == std::begin(kCaseClasses)) return CaseClass::None;
    const CaseClassRange& r = *(it - 1);
    return cp <= r.last ? r.cls : CaseClass::None;
}

// Whether, looking through case-ignorable units from `i` on in steps of `step`, the first
// other unit is cased.
bool cased_beyond(const std::vector<Unit>& units, size_t i, int step) {
    for (auto k = static_cast<std::ptrdiff_t>(i) + step;
         k >= 0 && k < static_cast<std::ptrdiff_t>(units.size()); k += step) {
        const CaseClass c = case_class(units[static_cast<size_t>(k)].cp);
        if (c != CaseClass::Ignorable) return c == CaseClass::Cased;
    }
    return false;
}

}  // namespace

namespace {
// Length of the UTF-8 sequence starting with `lead`, 0 for a byte that cannot start one.
size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether `next` may follow `lead` as the second byte (rules out overlongs, surrogates, > U+10FFFF).
bool utf8_second_byte_ok(unsigned char lead, unsigned char next) {
    if (lead == 0xE0) return next >= 0xA0 && next <= 0xBF;
    if (lead == 0xED) return next >= 0x80 && next <= 0x9F;
    if (lead == 0xF0) return next >= 0x90 && next <= 0xBF;
    if (lead == 0xF4) return next >= 0x80 && next <= 0x8F;
    return next >= 0x80 && next <= 0xBF;
}
}  // namespace

std::optional<std::string> decode_utf8(std::string_view bytes, bool truncated) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const size_t len = utf8_sequence_length(lead);
        if (len == 0) return std::nullopt;
        size_t k = 1;
        for (; k < len && i + k < bytes.size(); ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if (k == 1 ? !utf8_second_byte_ok(lead, b) : (b < 0x80 || b > 0xBF)) return std::nullopt;
        }
        if (k < len) {
            // The bytes ran out inside a character: only a read cut short may end that way.
            if (!truncated) return std::nullopt;
            return std::string(bytes.substr(0, i));
        }
        i += len;
    }
    return std::string(bytes);
}

std::string lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const size_t len = utf8_sequence_length(lead);
        size_t k = 1;
        if (len > 0) {
            for (; k < len && i + k < bytes.size(); ++k) {
                const auto b = static_cast<unsigned char>(bytes[i + k]);
                if (k == 1 ? !utf8_second_byte_ok(lead, b) : (b < 0x80 || b > 0xBF)) break;
            }
        }
        if (len > 0 && k == len) {
            out.append(bytes.substr(i, len));
        } else {
            out.append(kReplacement);  // one replacement for the broken sequence as far as it went
        }
        i += k;
    }
    return out;
}

std::size_t decode_one(std::string_view s, std::size_t i, uint32_t& cp) { return i < s.size() ? decode(s, i, cp) : 0; }

bool is_printable(uint32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) return true;
    const auto* end = std::end(kNotPrintable);
    const auto* it = std::upper_bound(std::begin(kNotPrintable), end, cp,
                                      [](uint32_t c, const CodeRange& r) { return c < r.first; });
    return it == std::begin(kNotPrintable) || cp > (it - 1)->last;
}

bool is_valid_utf8(std::string_view s) {
    uint32_t cp = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t len = decode(s, i, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string to_lower(std::string_view s) {
    std::vector<Unit> units;
    units.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t len = decode(s, i, cp);
        if (len == 0) {
            units.push_back({kInvalid, i, 1});
            ++i;
        } else {
            units.push_back({cp, i, len});
            i += len;
        }
    }

    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& u = units[i];
        if (u.cp == kInvalid) {
            out += s[u.offset];
            continue;
        }
        if (u.cp == kCapitalSigma && cased_beyond(units, i, -1) && !cased_beyond(units, i, +1)) {
            encode(kFinalSigma, out);
            continue;
        }
        const auto* special = std::find_if(std::begin(kLowerSpecial), std::end(kLowerSpecial),
                                           [&](const LowerSpecial& sp) { return sp.cp == u.cp; });
        if (special != std::end(kLowerSpecial)) {
            for (uint32_t c : special->lower) encode(c, out);
            continue;
        }
        encode(simple_lower(u.cp), out);
    }
    return out;
}

}  // namespace vop::unicode
