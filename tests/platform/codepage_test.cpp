// The ANSI code page (Windows-1252) against the C library's own converter, and the handling of
// input that is not well-formed UTF-8.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <cerrno>
#include <optional>
#include <string>

namespace purgix::platform {
namespace {

// The bytes that Windows-1252 leaves unassigned; Windows maps them to the control character of
// the same number, the C library refuses them.
constexpr unsigned char kUnassigned[] = {0x81, 0x8D, 0x8F, 0x90, 0x9D};

bool IsUnassigned(unsigned value) {
    for (const unsigned char b : kUnassigned)
        if (b == value)
            return true;
    return false;
}

// An iconv conversion descriptor, closed on scope exit.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (Valid())
            ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // The converted text, or nothing when the converter rejects the input.
    std::optional<std::string> operator()(std::string in) {
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(in.size() * 4 + 8, '\0');
        char* src = in.data();
        std::size_t srcLeft = in.size();
        char* dst = out.data();
        std::size_t dstLeft = out.size();
        if (::iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        out.resize(out.size() - dstLeft);
        return out;
    }

private:
    iconv_t cd_;
};

std::string Utf8Of(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

TEST(Codepage, EveryByteDecodesAsTheCLibraryDoesAndRoundTrips) {
    Iconv reference("UTF-8", "CP1252");
    if (!reference.Valid())
        GTEST_SKIP() << "the C library has no CP1252 converter";
    for (unsigned b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = Cp1252ToUtf8(byte);
        if (IsUnassigned(b))
            EXPECT_EQ(utf8, Utf8Of(b)) << "byte " << b;
        else
            EXPECT_EQ(std::optional<std::string>(utf8), reference(byte)) << "byte " << b;
        EXPECT_EQ(Utf8ToCp1252(utf8), byte) << "byte " << b;
    }
}

TEST(Codepage, EveryCharacterEncodesAsTheCLibraryDoesOrBecomesAQuestionMark) {
    Iconv reference("CP1252", "UTF-8");
    if (!reference.Valid())
        GTEST_SKIP() << "the C library has no CP1252 converter";
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::string utf8 = Utf8Of(c);
        const std::string expected =
            IsUnassigned(c) ? std::string(1, static_cast<char>(c)) : reference(utf8).value_or("?");
        ASSERT_EQ(Utf8ToCp1252(utf8), expected) << "U+" << std::hex << static_cast<unsigned>(c);
    }
    // Outside the Basic Multilingual Plane: one character, one "?".
    EXPECT_EQ(Utf8ToCp1252(Utf8Of(0x1F600) + "a" + Utf8Of(0x10FFFF)), "?a?");
}

TEST(Codepage, MalformedUtf8BecomesOneQuestionMarkPerByte) {
    struct Case {
        std::string in;
        std::string out;
        bool valid = false;
    };
    const Case cases[] = {
        {"a\x80z", "a?z"}, // stray continuation byte
        {"\xC3", "?"},     // cut off at the end
        {"\xE2\x82"
         "A",
         "??A"},                                                // cut off before an ASCII character
        {"\xC0\xAF", "??"},                                     // overlong "/"
        {"\xE0\x80\xAF", "???"},                                // overlong in three bytes
        {"\xED\xA0\x80", "???"},                                // a surrogate
        {"\xF4\x90\x80\x80", "????"},                           // above U+10FFFF
        {"\xFF\xFE", "??"},                                     // never part of UTF-8
        {"\xC3\xA4\xC3", "\xE4?"},                              // "ä" and a cut-off sequence
        {std::string("x\0y", 3), std::string("x\0y", 3), true}, // NUL is a character
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToCp1252(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(IsValidUtf8(c.in), c.valid) << testing::PrintToString(c.in);
    }
    EXPECT_TRUE(IsValidUtf8("plain, \xC3\xA4, \xE2\x82\xAC, \xCE\xA9, \xF0\x9F\x98\x80"));
    EXPECT_TRUE(IsValidUtf8(""));
}

TEST(Codepage, Utf16ToUtf8) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"C:\\Users\\a.txt", "C:\\Users\\a.txt"},
        {u"\u00E4\u20AC\u03A9", "\xC3\xA4\xE2\x82\xAC\xCE\xA9"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},                           // a surrogate pair
        {std::u16string(1, char16_t{0xD83D}) + u"x", "\xEF\xBF\xBDx"}, // high surrogate alone
        {std::u16string(1, char16_t{0xDE00}), "\xEF\xBF\xBD"},         // low surrogate alone
        {std::u16string(1, char16_t{0xD83D}), "\xEF\xBF\xBD"},         // cut off at the end
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},          // NUL is a character
        {u"", ""},
    };
    for (const Case& c : cases) {
        const std::string utf8 = Utf16ToUtf8(c.in);
        EXPECT_EQ(utf8, c.out) << testing::PrintToString(c.out);
        EXPECT_TRUE(IsValidUtf8(utf8));
    }
}

} // namespace
} // namespace purgix::platform
