// INI documents as the configuration files use them: "[section]" headers and
// "key=value" lines, section and key names compared ignoring ASCII case, UTF-8
// text. Parsing and writing are SimpleIni's; this adds the read rules every
// file of the program follows and the atomic save.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

// The one section of the program's own INI files.
inline constexpr const char* kBasicSection = "basic";

// An integer as the files hold it: blanks, an optional sign and decimal
// digits (anything after them is ignored), read as an unsigned 32-bit number
// and taken as signed, so "-1" and "4294967295" both give -1 and a number too
// large for 32 bits gives -1 as well. Empty text gives `fallback`; text
// without digits gives 0.
int32_t iniInt(std::string_view text, int32_t fallback);
// A boolean: empty -> `fallback`; "true" or "yes" in any letter case -> true;
// otherwise whether iniInt() is non-zero.
bool iniBool(std::string_view text, bool fallback);

// Writes a configuration file through a temporary file beside it (creating
// its folder, mode 0700, when missing), so a failure leaves the old file as it
// was. Empty text removes the file instead: an emptied list leaves no file.
// The UTF-8 text is stored in this build's INI layout (iniFileFormat():
// UTF-16 LE with a byte order mark and CRLF on Windows, as given elsewhere).
bool writeConfigFile(const std::string& path, const std::string& text, unsigned mode, std::string& error);
// Reads a configuration file as UTF-8 text; a missing one reads as empty text
// and counts as success. False with `error` when it exists but cannot be
// read. Every layout decodeTextFile() knows is read (UTF-8 with or without a
// byte order mark, UTF-16 either byte order, CRLF line ends); whatever keeps a file from being read in full
// (a NUL byte, a line that is neither a section, a key nor a comment, an
// empty file, a link to nothing, an unreadable file) is noted as damage.
bool readConfigFile(const std::string& path, std::string& text, std::string& error);

// Damage found in a configuration file. Every note becomes a warning naming
// the file (and the line where there is one), and the first write over the
// file afterwards keeps the old one beside it as "NAME.damaged-YYYYMMDD-HHMMSS",
// so that nothing the program could not read is lost with it.
void noteConfigFileDamage(const std::string& path, const std::string& message);
// The warnings noted since the last call, oldest first; where a damaged
// file was kept is one of them.
std::vector<std::string> takeConfigFileWarnings();

// The text of a file's bytes as UTF-8 (decodeTextFile()): a UTF-8 byte order
// mark is dropped, UTF-16 is converted, NUL bytes are left out. Each thing that is
// not text is described in `problems` with its line.
std::string decodeConfigText(std::string_view bytes, std::vector<std::string>& problems);
// The lines of INI text that are neither blank, a comment, a section header
// nor a "key=value" line, described with their line numbers.
std::vector<std::string> foreignIniLines(std::string_view text);

// Removes what interrupted saves left in `folder` (see
// platform::removeStaleTempFiles); returns how many files went.
int removeStaleConfigTempFiles(const std::string& folder);

class IniDocument {
 public:
  IniDocument();
  ~IniDocument();
  IniDocument(IniDocument&&) noexcept;
  IniDocument& operator=(IniDocument&&) noexcept;

  // Replaces the document by the parse of `text`. False when the text cannot
  // be parsed (the document is empty then).
  bool parse(std::string_view text);
  // Reads and parses a file. A missing file is an empty document and counts
  // as success; a file that exists but cannot be read or parsed is a failure
  // with `error` set.
  bool load(const std::string& path, std::string& error);
  // The document as text, sections and keys in the order they were loaded or
  // first set.
  std::string text() const;
  // Writes text() as writeConfigFile() does: through a temporary file, so a
  // failure leaves the old file as it was; an empty document removes it.
  bool save(const std::string& path, unsigned mode, std::string& error) const;

  bool hasSection(const char* section) const;
  // The raw value, or null when the key is missing.
  const char* value(const char* section, const char* key) const;
  bool has(const char* section, const char* key) const { return value(section, key) != nullptr; }
  std::string readString(const char* section, const char* key, const std::string& fallback = {}) const;
  int32_t readInt(const char* section, const char* key, int32_t fallback) const;
  bool readBool(const char* section, const char* key, bool fallback) const;

  // A line break inside a value would end it and start a line of its own,
  // so line breaks are written as blanks.
  void setString(const char* section, const char* key, std::string_view value);
  void setInt(const char* section, const char* key, int64_t value);
  void setBool(const char* section, const char* key, bool value);
  void remove(const char* section, const char* key);

  // The sections, and the keys and values of one section, in load order.
  std::vector<std::string> sections() const;
  std::vector<std::pair<std::string, std::string>> entries(const char* section) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantor
