#include "catalogue/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vantor {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void putUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// One UTF-8 sequence at `i`: the character, and how many bytes it took (at
// least 1). A malformed sequence gives U+FFFD for its first byte.
char32_t nextUtf8(std::string_view s, std::size_t& i, bool& ok) {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int length = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : 0;
  if (length == 0 || i + length > s.size()) {
    ok = false;
    ++i;
    return kReplacement;
  }
  char32_t c = b0 & (0xFF >> (length + 1));
  for (int k = 1; k < length; ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ok = false;
      ++i;
      return kReplacement;
    }
    c = c << 6 | (b & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
  static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    ok = false;
    ++i;
    return kReplacement;
  }
  i += length;
  return c;
}

// BOM-less UTF-16 LE: the first characters are ASCII (a zero high byte
// after a non-zero low byte) and most high bytes are zero. UTF-8 text never
// holds zero bytes in these places.
bool looksLikeUtf16Le(std::string_view bytes) {
  if (bytes.size() < 4 || bytes.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < 4; i += 2)
    if (bytes[i] == 0 || static_cast<unsigned char>(bytes[i]) >= 0x80 || bytes[i + 1] != 0) return false;
  std::size_t zeroHigh = 0, pairs = bytes.size() / 2;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    if (bytes[i] == 0 && bytes[i + 1] == 0) return false;
    if (bytes[i + 1] == 0) ++zeroHigh;
  }
  return zeroHigh * 2 >= pairs;
}

void decodeUtf16(std::string_view bytes, bool bigEndian, std::string& out, std::vector<std::string>& problems) {
  int line = 1;
  bool badSeen = false;
  auto unit = [&](std::size_t i) {
    auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
    auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
    return static_cast<char32_t>(hi << 8 | lo);
  };
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
      putUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
      i += 2;
      continue;
    }
    if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
      if (!badSeen) problems.push_back("line " + std::to_string(line) + ": not UTF-16 text");
      badSeen = true;
      if (c == 0) continue;
      c = kReplacement;
    }
    if (c == '\n') ++line;
    putUtf8(out, c);
  }
  if (i < bytes.size()) problems.push_back("line " + std::to_string(line) + ": the file ends in half a character");
}

// Bytes that are not UTF-8 are kept as they are (texts such as passwords
// are byte strings), except on Windows, where such a file is one written
// in the ANSI code page.
std::string fromNarrow(std::string_view bytes, TextFileFormat& format) {
  format.charset = TextCharset::Utf8;
#ifdef _WIN32
  if (!isValidUtf8(bytes) && !bytes.empty() && bytes.size() < 0x7FFFFFFF) {
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n > 0) {
      std::u16string wide(static_cast<std::size_t>(n), u'\0');
      MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                          reinterpret_cast<wchar_t*>(wide.data()), n);
      format.charset = TextCharset::AnsiCodePage;
      return utf16ToUtf8(wide);
    }
  }
#endif
  return std::string(bytes);
}

std::string toAnsi(std::string_view utf8) {
#ifdef _WIN32
  std::u16string wide = utf8ToUtf16(utf8);
  if (wide.empty() || wide.size() >= 0x7FFFFFFF) return {};
  auto* w = reinterpret_cast<const wchar_t*>(wide.data());
  int n = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(wide.size()), nullptr, 0, "?", nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(wide.size()), out.data(), n, "?", nullptr);
  return out;
#else
  return std::string(utf8);
#endif
}

}  // namespace

TextFileFormat iniFileFormat() {
#ifdef _WIN32
  return {TextCharset::Utf16Le, true, true};
#else
  return {};
#endif
}

TextFileFormat plainTextFileFormat() {
#ifdef _WIN32
  return {TextCharset::AnsiCodePage, false, true};
#else
  return {};
#endif
}

bool isValidUtf8(std::string_view bytes) {
  bool ok = true;
  for (std::size_t i = 0; i < bytes.size() && ok;) nextUtf8(bytes, i, ok);
  return ok;
}

std::u16string utf8ToUtf16(std::string_view utf8, bool* valid) {
  std::u16string out;
  out.reserve(utf8.size());
  bool ok = true;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = nextUtf8(utf8, i, ok);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  if (valid) *valid = ok;
  return out;
}

std::string utf16ToUtf8(std::u16string_view utf16, bool* valid) {
  std::string out;
  out.reserve(utf16.size());
  bool ok = true;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      putUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      ok = false;
      c = kReplacement;
    }
    putUtf8(out, c);
  }
  if (valid) *valid = ok;
  return out;
}

std::string utf16LeBytes(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 2);
  for (char16_t u : utf16) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

std::u16string utf16FromLeBytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  return out;
}

std::string withLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string encodeTextFile(std::string_view utf8, const TextFileFormat& format) {
  std::string text;
  if (format.crlf) {
    text.reserve(utf8.size() + utf8.size() / 16);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      if (utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r')) text += '\r';
      text += utf8[i];
    }
  } else {
    text.assign(utf8);
  }
  // Texts such as passwords are byte strings and need not be UTF-8; no
  // other charset could hold them unchanged, so such a file stays UTF-8,
  // marked so that no reader takes it for the ANSI code page.
  if (format.charset != TextCharset::Utf8 && !isValidUtf8(text)) return "\xEF\xBB\xBF" + text;
  switch (format.charset) {
    case TextCharset::Utf16Le:
      return (format.byteOrderMark ? std::string("\xFF\xFE") : std::string()) + utf16LeBytes(utf8ToUtf16(text));
    case TextCharset::Utf16Be: {
      std::string le = utf16LeBytes(utf8ToUtf16(text));
      for (std::size_t i = 0; i + 1 < le.size(); i += 2) std::swap(le[i], le[i + 1]);
      return (format.byteOrderMark ? std::string("\xFE\xFF") : std::string()) + le;
    }
    case TextCharset::AnsiCodePage:
      return toAnsi(text);
    case TextCharset::Utf8:
      break;
  }
  return (format.byteOrderMark ? std::string("\xEF\xBB\xBF") : std::string()) + text;
}

std::string decodeTextFile(std::string_view bytes, std::vector<std::string>& problems, TextFileFormat* found) {
  TextFileFormat format;
  std::string out;
  out.reserve(bytes.size());
  bool utf16 = false;
  if (bytes.size() >= 2 && (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF")) {
    format.charset = bytes[0] == '\xFE' ? TextCharset::Utf16Be : TextCharset::Utf16Le;
    format.byteOrderMark = true;
    decodeUtf16(bytes.substr(2), bytes[0] == '\xFE', out, problems);
    utf16 = true;
  } else if (looksLikeUtf16Le(bytes)) {
    format.charset = TextCharset::Utf16Le;
    decodeUtf16(bytes, false, out, problems);
    utf16 = true;
  }
  if (!utf16) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
      format.byteOrderMark = true;
      bytes.remove_prefix(3);
    }
    int line = 1, lastReported = 0;
    std::string narrow;
    narrow.reserve(bytes.size());
    for (char c : bytes) {
      if (c == '\n') ++line;
      if (c == '\0') {
        // What follows a NUL is still read: it is the rest of the file.
        if (line != lastReported) problems.push_back("line " + std::to_string(line) + ": NUL byte");
        lastReported = line;
        continue;
      }
      narrow += c;
    }
    out = format.byteOrderMark ? std::move(narrow) : fromNarrow(narrow, format);
  }
  format.crlf = out.find("\r\n") != std::string::npos;
  if (found) *found = format;
  return out;
}

}  // namespace vantor
