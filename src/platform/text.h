// Small text helpers shared by every layer.
#pragma once

#include <string>
#include <string_view>

namespace purgix::platform {

// Lower-cases ASCII letters only (names compared "without regard to case" are ASCII here:
// method GUIDs, XML element names, registry names).
inline std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
    return AsciiLower(a) == AsciiLower(b);
}

// The value of one hexadecimal digit (either letter case); -1 for any other character.
inline int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A folder path with a trailing "/" (an empty path stays empty).
inline std::string WithTrailingSlash(std::string path) {
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path;
}

} // namespace purgix::platform
