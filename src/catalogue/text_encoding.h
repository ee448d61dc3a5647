// How the stored text files sit on disk. In memory every text is UTF-8 with
// "\n" line ends. The Windows build writes the INI files as UTF-16 LE with a
// byte order mark and the plain text files in the ANSI code page, both with
// "\r\n" line ends, as Windows programs of this kind always have; elsewhere
// files are written as UTF-8 with "\n". Every build reads every one of these
// layouts, so a configuration folder carried from one system to the other
// still loads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

enum class TextCharset : uint8_t {
  Utf8,
  Utf16Le,
  Utf16Be,  // read only
  AnsiCodePage,
};

struct TextFileFormat {
  TextCharset charset = TextCharset::Utf8;
  bool byteOrderMark = false;
  bool crlf = false;
  bool operator==(const TextFileFormat&) const = default;
};

// What this build writes: the INI files, and the plain text files (scripts,
// lists of addresses).
TextFileFormat iniFileFormat();
TextFileFormat plainTextFileFormat();

// `utf8` in the given layout. With `crlf` every "\n" that is not already
// preceded by "\r" becomes "\r\n". Characters the ANSI code page lacks
// become "?"; where the system has no ANSI code page (anything but
// Windows) the text stays UTF-8. Text that is not valid UTF-8 (a byte
// string) is written as UTF-8 with a byte order mark whatever the charset,
// so that every byte reads back as it was.
std::string encodeTextFile(std::string_view utf8, const TextFileFormat& format);

// The text of a file's bytes as UTF-8, line ends left as they are. A byte
// order mark decides the charset (UTF-8, UTF-16 LE or BE); without one, text
// that looks like UTF-16 LE (ASCII characters each followed by a zero byte)
// is read as that, and on Windows bytes that are not valid UTF-8 are read
// in the ANSI code page. NUL characters are left out. Every spot that is not
// text is described in `problems` with its line; `found` (when given)
// receives the layout that was recognised.
std::string decodeTextFile(std::string_view bytes, std::vector<std::string>& problems, TextFileFormat* found = nullptr);

// Conversions between UTF-8 and UTF-16 code units. Invalid input (a broken
// UTF-8 sequence, an unpaired surrogate) becomes U+FFFD; `valid` (when given)
// tells whether there was none.
std::u16string utf8ToUtf16(std::string_view utf8, bool* valid = nullptr);
std::string utf16ToUtf8(std::u16string_view utf16, bool* valid = nullptr);
// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view bytes);

// UTF-16 code units as little-endian bytes and back (an odd last byte is
// dropped).
std::string utf16LeBytes(std::u16string_view utf16);
std::u16string utf16FromLeBytes(std::string_view bytes);

// "\r\n" to "\n" (a lone "\r" stays).
std::string withLfLineEnds(std::string_view text);

}  // namespace vantor
