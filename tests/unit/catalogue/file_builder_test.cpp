#include "catalogue/file_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "catalogue/share_link.h"

namespace vantor {
namespace {

class FileBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vantor-fb-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/data";
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string fileBytes() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void setFileBytes(const std::string& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  template <typename Builder>
  void writeWith(const std::string& payload, bool plain = false) {
    Builder b(path_);
    b.setPlainMode(plain);
    ASSERT_TRUE(b.open(false));
    ASSERT_EQ(b.write(payload.data(), payload.size()), 0);
  }
  template <typename Builder>
  std::pair<const char*, int> readWith(std::unique_ptr<Builder>& b, bool plain = false) {
    b = std::make_unique<Builder>(path_);
    b->setPlainMode(plain);
    if (!b->open(true)) return {nullptr, b->lastError()};
    const char* p = b->read();
    return {p, b->lastError()};
  }

  std::string dir_, path_;
};

// Payload with every byte value, NULs included, so nothing stops at a NUL.
std::string samplePayload() {
  std::string s = "#Name,Local,1,0,2,x\r\n10.0.0.0/8\n";
  for (int i = 0; i < 3000; ++i) s.push_back(static_cast<char>(i * 7));
  return s;
}

TEST_F(FileBuilderTest, BothFormsRoundTripEveryByteAndPlainModeReadsAnyFileUnchanged) {
  const std::string payload = samplePayload();
  writeWith<CFileBuilder>(payload);
  EXPECT_EQ(fileBytes().size(), payload.size() + CFileBuilder::kFrameSize);
  EXPECT_EQ(fileBytes().substr(0, 4), "MC##");
  std::unique_ptr<CFileBuilder> a;
  auto [content, error] = readWith(a);
  ASSERT_NE(content, nullptr) << error;
  EXPECT_EQ(std::string(content, a->contentLength()), payload);
  EXPECT_EQ(content[a->contentLength()], '\0');

  // Plain mode returns even a valid container byte for byte.
  const std::string container = fileBytes();
  std::unique_ptr<CFileBuilder> plain;
  auto [raw, rawError] = readWith(plain, true);
  ASSERT_NE(raw, nullptr) << rawError;
  EXPECT_EQ(std::string(raw, plain->contentLength()), container);

  writeWith<CFileBuilderCompressBase64>(payload);
  const std::string text = fileBytes();
  EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(decodeBase64(text).substr(0, 4), "MC##");
  std::unique_ptr<CFileBuilderCompressBase64> b;
  auto [unpacked, unpackError] = readWith(b);
  ASSERT_NE(unpacked, nullptr) << unpackError;
  EXPECT_EQ(std::string(unpacked, b->contentLength()), payload);
}

TEST_F(FileBuilderTest, DamagedContainersGiveTheirErrorCodes) {
  const std::string payload = samplePayload();
  writeWith<CFileBuilder>(payload);
  const std::string good = fileBytes();
  auto errorOf = [&](std::string bytes) {
    setFileBytes(bytes);
    std::unique_ptr<CFileBuilder> b;
    auto [content, error] = readWith(b);
    EXPECT_EQ(content, nullptr);
    return error;
  };
  std::string changed = good;
  changed[43 + 100] ^= 0x01;  // one byte of the encrypted block
  EXPECT_EQ(errorOf(changed), CFileBuilder::kBadChecksum);
  std::string version = good;
  version[5] = 1, version[6] = 1, version[7] = 2;
  EXPECT_EQ(errorOf(version), CFileBuilder::kBadVersion);
  std::string magic = good;
  magic[0] = 'X';
  EXPECT_EQ(errorOf(magic), CFileBuilder::kBadMagic);
  std::string marker = good;
  marker[8] = 'X';
  EXPECT_EQ(errorOf(marker), CFileBuilder::kBadMarker);
  std::string trailer = good;
  trailer[trailer.size() - 2] = 'X';
  EXPECT_EQ(errorOf(trailer), CFileBuilder::kNoTrailer);
  std::string negative = good;
  negative[42] = static_cast<char>(0x80);
  EXPECT_EQ(errorOf(negative), CFileBuilder::kBadLength);
  // A length that points past the end must not be read.
  std::string beyond = good;
  beyond[41] = 0x7f;
  EXPECT_EQ(errorOf(beyond), CFileBuilder::kBadLength);
  EXPECT_EQ(errorOf(good.substr(0, 10)), CFileBuilder::kNotReadable);
  EXPECT_EQ(errorOf(""), CFileBuilder::kNotReadable);
}

TEST_F(FileBuilderTest, MarkerCaseDoesNotMatter) {
  writeWith<CFileBuilder>("abc");
  std::string bytes = fileBytes();
  for (int i = 8; i < 23; ++i)
    if (bytes[i] >= 'A' && bytes[i] <= 'Z') bytes[i] = static_cast<char>(bytes[i] + 32);
  setFileBytes(bytes);
  std::unique_ptr<CFileBuilder> b;
  auto [content, error] = readWith(b);
  ASSERT_NE(content, nullptr) << error;
  EXPECT_STREQ(content, "abc");
}

TEST_F(FileBuilderTest, CompressedFormRefusesBadTextAndBadContainers) {
  auto errorOf = [&](const std::string& text) {
    setFileBytes(text);
    std::unique_ptr<CFileBuilderCompressBase64> b;
    auto [content, error] = readWith(b);
    EXPECT_EQ(content, nullptr);
    return error;
  };
  EXPECT_EQ(errorOf("!not base64 at all"), CFileBuilder::kBadBase64);
  EXPECT_EQ(errorOf("QUJD"), CFileBuilder::kNotReadable);  // "ABC": shorter than the frame

  writeWith<CFileBuilder>("plain container");
  std::string container = fileBytes();
  // Key set 3 is refused by the compressed form.
  container[4] = 3;
  EXPECT_EQ(errorOf(encodeBase64(container)), CFileBuilder::kBadVersion);
  // A valid frame whose block is no gzip stream.
  container[4] = 2;
  EXPECT_EQ(errorOf(encodeBase64(container)), CFileBuilder::kBadCompression);

  writeWith<CFileBuilderCompressBase64>(samplePayload());
  std::string bytes = decodeBase64(fileBytes());
  bytes[bytes.size() - 10] ^= 0x20;  // inside the compressed block
  int error = errorOf(encodeBase64(bytes));
  EXPECT_TRUE(error == CFileBuilder::kBadCompression || error == CFileBuilder::kBadChecksum) << error;
}

TEST_F(FileBuilderTest, NothingToWriteAndUnopenedFiles) {
  CFileBuilder b(path_);
  EXPECT_EQ(b.write("x", 1), CFileBuilder::kNothingToWrite);  // not open
  EXPECT_EQ(b.read(), nullptr);
  EXPECT_EQ(b.lastError(), CFileBuilder::kNotReadable);
  ASSERT_TRUE(b.open(false));
  EXPECT_EQ(b.write(nullptr, 3), CFileBuilder::kNothingToWrite);
  CFileBuilder missing(dir_ + "/missing/file");
  EXPECT_FALSE(missing.open(true));
  EXPECT_EQ(missing.lastError(), CFileBuilder::kNotReadable);
}

}  // namespace
}  // namespace vantor
