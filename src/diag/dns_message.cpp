#include "diag/dns_message.h"

#include <cstdio>
#include <cstring>

namespace vantor {

void CNeuroBuffer::append(const void* data, std::size_t length) {
  if (length == 0) return;
  std::size_t needed = bytes_.size() + length;
  if (needed > bytes_.capacity()) bytes_.reserve((needed + kGrowthStep - 1) / kGrowthStep * kGrowthStep);
  const auto* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + length);
}

void CNeuroBuffer::appendBe16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  append(bytes, 2);
}

void CNeuroBuffer::assign(const uint8_t* data, std::size_t length) {
  clear();
  append(data, length);
}

void CDnsBuffer::seek(std::size_t position) {
  if (position > length()) {
    overrun_ = true;
    return;
  }
  position_ = position;
}

bool CDnsBuffer::readByte(uint8_t& value) {
  if (remaining() < 1) return fail();
  value = bytes_[position_++];
  return true;
}

bool CDnsBuffer::readBe16(uint16_t& value) {
  if (remaining() < 2) return fail();
  value = static_cast<uint16_t>(bytes_[position_] << 8 | bytes_[position_ + 1]);
  position_ += 2;
  return true;
}

bool CDnsBuffer::readBe32(uint32_t& value) {
  if (remaining() < 4) return fail();
  const uint8_t* p = bytes_.data() + position_;
  value =
      static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
  position_ += 4;
  return true;
}

bool CDnsBuffer::skip(std::size_t count) {
  if (remaining() < count) return fail();
  position_ += count;
  return true;
}

bool CDnsBuffer::readName(std::string& name) {
  std::string text;
  std::size_t at = position_;
  std::size_t resumeAt = 0;  // where reading goes on after the first pointer
  bool jumped = false;
  int pointers = 0;
  std::size_t wireLength = 1;  // the final zero byte
  for (;;) {
    if (at >= length()) return fail();
    uint8_t label = bytes_[at];
    if ((label & 0xC0) == 0xC0) {
      if (at + 1 >= length() || ++pointers > kMaxPointers) return fail();
      std::size_t target = static_cast<std::size_t>(label & 0x3F) << 8 | bytes_[at + 1];
      if (!jumped) resumeAt = at + 2;
      jumped = true;
      at = target;
      continue;
    }
    if (label & 0xC0) return fail();  // 0x40 and 0x80: reserved label types
    if (label == 0) {
      ++at;
      break;
    }
    wireLength += 1u + label;
    if (wireLength > kMaxNameLength || at + 1 + label > length()) return fail();
    if (!text.empty()) text += '.';
    text.append(reinterpret_cast<const char*>(bytes_.data() + at + 1), label);
    at += 1u + label;
  }
  position_ = jumped ? resumeAt : at;
  name = std::move(text);
  return true;
}

bool CDnsBuffer::appendName(const std::string& name) {
  CNeuroBuffer wire;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    std::size_t end = dot == std::string::npos ? name.size() : dot;
    std::size_t label = end - start;
    if (label == 0 || label > 63) return false;
    wire.appendByte(static_cast<uint8_t>(label));
    wire.append(name.data() + start, label);
    if (dot == std::string::npos) break;
    start = dot + 1;  // a single trailing dot (the root) ends the name
  }
  wire.appendByte(0);
  if (wire.length() > kMaxNameLength) return false;
  append(wire.data(), wire.length());
  return true;
}

std::unique_ptr<CDnsRR> CDnsRR::create(uint16_t type) {
  switch (type) {
    case kDnsTypeA:
      return std::make_unique<CDnsRRA>();
    case kDnsTypeNS:
      return std::make_unique<CDnsRRNS>();
    case kDnsTypeCNAME:
      return std::make_unique<CDnsRRCNAME>();
    case kDnsTypeMX:
      return std::make_unique<CDnsRRMX>();
    default:
      return std::make_unique<CDnsRRDefault>();
  }
}

bool CDnsRR::parse(CDnsBuffer& buffer) {
  if (!buffer.readName(name)) return false;
  buffer.readBe16(type);
  buffer.readBe16(rrClass);
  buffer.readBe32(ttl);
  buffer.readBe16(rdLength);
  if (buffer.overrun() || buffer.remaining() < rdLength) return false;
  const std::size_t end = buffer.position() + rdLength;
  // A name inside the data may point elsewhere, but its own bytes must lie
  // within RDLENGTH.
  if (!parseData(buffer) || buffer.overrun() || buffer.position() > end) return false;
  buffer.seek(end);
  return true;
}

bool CDnsRRA::parseData(CDnsBuffer& buffer) {
  if (rdLength != 4) return false;
  uint32_t a = 0;
  if (!buffer.readBe32(a)) return false;
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  data = text;
  return true;
}

bool CDnsRRNS::parseData(CDnsBuffer& buffer) { return buffer.readName(data); }

bool CDnsRRCNAME::parseData(CDnsBuffer& buffer) { return buffer.readName(data); }

bool CDnsRRMX::parseData(CDnsBuffer& buffer) {
  if (!buffer.readBe16(preference) || !buffer.readName(exchange)) return false;
  data = std::to_string(preference) + " " + exchange;
  return true;
}

bool CDnsRRDefault::parseData(CDnsBuffer& buffer) { return buffer.skip(rdLength); }

}  // namespace vantor
