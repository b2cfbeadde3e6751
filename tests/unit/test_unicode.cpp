// Full Unicode lower-casing and the UTF-8 well-formedness check.
#include "util/unicode.hpp"

#include <gtest/gtest.h>

#include <string>

using vop::unicode::is_valid_utf8;
using vop::unicode::to_lower;

TEST(UnicodeLower, Mappings) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"ascii", "Mod+Shift+Return 42", "mod+shift+return 42"},
        {"empty", "", ""},
        {"latin-1", "\u00c0\u00c9\u00ce\u00d6\u00de", "\u00e0\u00e9\u00ee\u00f6\u00fe"},
        {"latin extended alternating", "\u0100\u0101\u0102\u017d", "\u0101\u0101\u0103\u017e"},
        {"y with diaeresis", "\u0178", "\u00ff"},
        {"dotted capital I grows", "\u0130STANBUL", "i\u0307stanbul"},
        {"kelvin sign", "\u212a", "k"},
        {"ohm sign", "\u2126", "\u03c9"},
        {"capital sharp s", "\u1e9e", "\u00df"},
        {"cyrillic", "\u041f\u0420\u0418\u0412\u0415\u0422", "\u043f\u0440\u0438\u0432\u0435\u0442"},
        {"georgian", "\u10a0", "\u2d00"},
        {"deseret (4 bytes)", "\U00010400", "\U00010428"},
        {"no lower case", "\u4e2d\u6587 \u00df \u2603", "\u4e2d\u6587 \u00df \u2603"},
        {"already lower", "firefox", "firefox"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to_lower(c.in), c.out);
    }
}

TEST(UnicodeLower, FinalSigma) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"word end", "\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"},
        {"word start", "\u03a3\u0391", "\u03c3\u03b1"},
        {"alone", "\u03a3", "\u03c3"},
        {"before a space", "\u0391\u03a3 \u0392", "\u03b1\u03c2 \u03b2"},
        {"before punctuation", "\u0391\u03a3.", "\u03b1\u03c2."},
        {"apostrophe is looked through, then a letter", "\u0391\u03a3'\u0391", "\u03b1\u03c3'\u03b1"},
        {"combining mark before", "\u0391\u0308\u03a3", "\u03b1\u0308\u03c2"},
        {"combining mark after, then end", "\u0391\u03a3\u0308", "\u03b1\u03c2\u0308"},
        {"after a digit", "1\u03a3", "1\u03c3"},
        {"two sigmas", "\u0391\u03a3\u03a3", "\u03b1\u03c3\u03c2"},
        {"invalid byte ends the word", "\u0391\u03a3\xff", "\u03b1\u03c2\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to_lower(c.in), c.out);
    }
}

TEST(UnicodeLower, IllFormedBytesPassThrough) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"stray byte", "A\xff" "B", "a\xff" "b"},
        {"truncated sequence", "\xc3", "\xc3"},
        {"truncated before letter", "\xe2\x84Z", "\xe2\x84z"},
        {"overlong", "\xc0\xaf" "A", "\xc0\xaf" "a"},
        {"surrogate", "\xed\xa0\x80" "Q", "\xed\xa0\x80" "q"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\xf4\x90\x80\x80"},
        {"lone continuation then capital", "\x80\u00c9", "\x80\u00e9"},
        {"embedded NUL", std::string("A\0B", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to_lower(c.in), c.out);
    }
}

TEST(UnicodeValid, WellFormedness) {
    struct Case {
        std::string in;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"\u00e9\u4e2d\U0001f600", true},
        {"\U0010ffff", true},
        {std::string("a\0b", 3), true},
        {"\xff", false},
        {"\xc3", false},
        {"\xc3(", false},
        {"\xc0\x80", false},
        {"\xe0\x80\x80", false},
        {"\xed\xa0\x80", false},
        {"\xf4\x90\x80\x80", false},
        {"\xf8\x88\x80\x80\x80", false},
        {"ok\x80", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        EXPECT_EQ(is_valid_utf8(c.in), c.valid);
    }
}

TEST(Unicode, LossyReplacesEachBrokenRunOnce) {
    using vop::unicode::lossy;
    EXPECT_EQ(lossy("DP-1"), "DP-1");
    EXPECT_EQ(lossy("a\xff" "b"), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(lossy("a\xe2\x82"), "a\xef\xbf\xbd");
    EXPECT_EQ(lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // a surrogate is no character
    EXPECT_EQ(lossy("h\xc3\xa9"), "h\xc3\xa9");
}
