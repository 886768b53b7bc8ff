// The "ANSI code page": Windows-1252 text and its conversion to and from UTF-8, and the UTF-16
// text of Windows file formats.
#pragma once

#include <string>
#include <string_view>

namespace purgix::platform {

// Converts UTF-8 text to Windows-1252 bytes, one byte per character. A character that the code
// page cannot represent becomes "?"; so does every byte of the input that is not part of a
// well-formed UTF-8 sequence (overlong forms, surrogates and values above U+10FFFF included).
// The five byte values that Windows-1252 leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand
// for the control characters of the same number, so U+0081 becomes 0x81 and so on, as Windows
// converts them.
std::string Utf8ToCp1252(std::string_view utf8);

// Converts Windows-1252 bytes to UTF-8. Every byte has a character (see above), so the
// conversion never loses anything and Utf8ToCp1252(Cp1252ToUtf8(b)) == b for all bytes b.
std::string Cp1252ToUtf8(std::string_view bytes);

// Converts UTF-16 code units (as read from a little-endian file field) to UTF-8. A surrogate
// pair becomes its character; a lone surrogate becomes U+FFFD, so the result is always
// well-formed UTF-8. NUL code units are kept: cutting a field at its terminator is the caller's.
std::string Utf16ToUtf8(std::u16string_view units);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool IsValidUtf8(std::string_view text) noexcept;

} // namespace purgix::platform
