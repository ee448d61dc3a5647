// Encoded data files: a container that encrypts its payload (AES-128-CFB with
// a key set chosen by a version byte) and carries the payload's MD5, and a
// form that gzips the payload first and stores the whole container as one
// base64 text. Both can be switched to plain mode, which reads and writes the
// file unchanged. Rule files may be stored either way.
//
// Container (little-endian):
//   0  "MC##"   4  version (key set, 01, 01, 01)   8  "DATAFILEMARKER#"
//   23 MD5 of the payload   39 L (int32 > 0)   43 L encrypted bytes   43+L "#MC\0"
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vantor {

class CFileBuilder {
 public:
  // Error codes of lastError().
  enum Error {
    kOk = 0,
    kBadMagic = 1,
    kBadVersion = 2,
    kBadMarker = 3,
    kNoTrailer = 4,
    kNotReadable = 5,  // not open, unreadable, empty, or shorter than the frame
    kBadChecksum = 6,
    kNothingToWrite = 7,
    kBadLength = 8,
    kBadCompression = 9,
    kBadBase64 = 10,
  };
  static constexpr std::size_t kFrameSize = 47;
  // Larger files are not read (rule files stay far below this).
  static constexpr std::size_t kMaxFileSize = 256u << 20;

  explicit CFileBuilder(std::string path);
  virtual ~CFileBuilder();
  CFileBuilder(const CFileBuilder&) = delete;
  CFileBuilder& operator=(const CFileBuilder&) = delete;

  void setPlainMode(bool plain) { plainMode_ = plain; }
  // Closes a file opened before, then opens the path for reading or for
  // writing (truncating). With `showError` a failure is also printed.
  bool open(bool forReading, bool showError = false);

  // The payload (NUL-terminated, owned by this object until the next read),
  // or null with lastError() set.
  virtual const char* read();
  // 0 on success, else the error code (also in lastError()).
  virtual int write(const void* data, std::size_t size);
  // What read() does with the file's bytes, for bytes from elsewhere.
  virtual const char* decode(std::string bytes);

  int lastError() const { return lastError_; }
  std::size_t fileSize() const { return fileSize_; }
  std::size_t contentLength() const { return contentLength_; }
  const std::array<uint8_t, 4>& version() const { return version_; }
  void setVersion(const std::array<uint8_t, 4>& version) { version_ = version; }
  const std::string& path() const { return path_; }

 protected:
  // Reads the whole open file into `bytes`; false (error 5) when there is
  // nothing to read.
  bool readWholeFile(std::string& bytes);
  bool writeBytes(const std::string& bytes);
  // Writes the file's bytes and notes the sizes; returns lastError().
  int store(const std::string& bytes, std::size_t payloadSize);
  // Checks a container's frame; returns 0 or the error code. On success
  // `block` holds the decrypted block and `digest` the stored MD5.
  int openContainer(const std::string& bytes, bool strictKeySet, std::string& block, std::array<uint8_t, 16>& digest);
  std::string buildContainer(const std::string& block, const std::array<uint8_t, 16>& digest) const;
  void keep(std::string payload);
  const char* fail(int error);

  std::vector<char> content_;
  bool hasContent_ = false;
  int lastError_ = kOk;
  std::size_t fileSize_ = 0;
  std::size_t contentLength_ = 0;
  bool plainMode_ = false;
  std::FILE* file_ = nullptr;
  std::array<uint8_t, 4> version_{2, 1, 1, 1};
  std::string path_;
};

class CFileBuilderCompressBase64 : public CFileBuilder {
 public:
  using CFileBuilder::CFileBuilder;
  int write(const void* data, std::size_t size) override;
  const char* decode(std::string text) override;
  // Decompressed payloads larger than this count as failed decompression.
  static constexpr std::size_t kMaxPayload = 512u << 20;
};

}  // namespace vantor
