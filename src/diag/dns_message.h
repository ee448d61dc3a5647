// DNS messages (RFC 1035): a growable byte buffer with a bounded reader, the
// resource records a reply carries, and the name encoding both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantor {

// A byte buffer whose capacity grows in steps of 64 bytes.
class CNeuroBuffer {
 public:
  static constexpr std::size_t kGrowthStep = 64;

  virtual ~CNeuroBuffer() = default;

  void append(const void* data, std::size_t length);
  void appendByte(uint8_t value) { append(&value, 1); }
  void appendBe16(uint16_t value);
  void clear() { bytes_.clear(); }
  void assign(const uint8_t* data, std::size_t length);

  const uint8_t* data() const { return bytes_.data(); }
  std::size_t length() const { return bytes_.size(); }
  std::size_t capacity() const { return bytes_.capacity(); }

 protected:
  std::vector<uint8_t> bytes_;
};

// A DNS message with a read position. A read that would go past the end
// leaves its target unchanged, does not advance, and marks the buffer as
// overrun; the parser checks that mark instead of every single read.
class CDnsBuffer : public CNeuroBuffer {
 public:
  // Longest name in wire form (length bytes included), and how many
  // compression pointers one name may follow: together they end pointer loops.
  static constexpr std::size_t kMaxNameLength = 255;
  static constexpr int kMaxPointers = 64;

  std::size_t position() const { return position_; }
  void seek(std::size_t position);
  bool overrun() const { return overrun_; }
  std::size_t remaining() const { return position_ < length() ? length() - position_ : 0; }

  bool readByte(uint8_t& value);
  bool readBe16(uint16_t& value);
  bool readBe32(uint32_t& value);
  bool skip(std::size_t count);
  // A possibly compressed name at the read position, labels joined by ".";
  // the position moves past the name (past the first pointer, if any).
  // False, with the overrun mark set, for a name that leaves the message,
  // loops, uses a reserved label type or is longer than 255 bytes.
  bool readName(std::string& name);

  // Appends `name` in wire form; false for an empty label inside the name,
  // a label over 63 bytes or a name over 255 bytes (nothing is appended).
  bool appendName(const std::string& name);

  void resetRead() {
    position_ = 0;
    overrun_ = false;
  }

 private:
  bool fail() {
    overrun_ = true;
    return false;
  }
  std::size_t position_ = 0;
  bool overrun_ = false;
};

// RFC 1035 type codes of the records the client renders.
enum DnsType : uint16_t {
  kDnsTypeA = 1,
  kDnsTypeNS = 2,
  kDnsTypeCNAME = 5,
  kDnsTypeMX = 15,
};

// One resource record; its data is kept as text.
class CDnsRR {
 public:
  virtual ~CDnsRR() = default;
  // A record of the right class for `type`.
  static std::unique_ptr<CDnsRR> create(uint16_t type);

  // Reads owner, type, class, TTL, RDLENGTH and the data at the buffer's
  // position; the position ends behind the data. False when the record does
  // not fit in the message or its data does not fit in RDLENGTH.
  bool parse(CDnsBuffer& buffer);

  std::string name;
  uint16_t type = 0;
  uint16_t rrClass = 0;
  uint32_t ttl = 0;
  uint16_t rdLength = 0;
  std::string data;

 protected:
  // Reads the data (rdLength bytes from the position) into `data`.
  virtual bool parseData(CDnsBuffer& buffer) = 0;
};

class CDnsRRA : public CDnsRR {  // type 1: "a.b.c.d"
 protected:
  bool parseData(CDnsBuffer& buffer) override;
};

class CDnsRRNS : public CDnsRR {  // type 2: a name
 protected:
  bool parseData(CDnsBuffer& buffer) override;
};

class CDnsRRCNAME : public CDnsRR {  // type 5: a name
 protected:
  bool parseData(CDnsBuffer& buffer) override;
};

class CDnsRRMX : public CDnsRR {  // type 15: "preference exchange"
 public:
  uint16_t preference = 0;
  std::string exchange;

 protected:
  bool parseData(CDnsBuffer& buffer) override;
};

class CDnsRRDefault : public CDnsRR {  // any other type: the data is skipped
 protected:
  bool parseData(CDnsBuffer& buffer) override;
};

using CDnsRRPtrList = std::vector<std::unique_ptr<CDnsRR>>;

}  // namespace vantor
