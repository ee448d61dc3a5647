// DNS replies arrive from servers and through nodes' UDP relays: the node
// tester parses whatever comes back. The first input byte picks how: bit 0
// gives the message this query's identifier (so most inputs reach the
// records), bit 1 takes the message out of a SOCKS 5 UDP datagram first,
// bit 2 parses the authority and additional sections too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "diag/dns_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> message(data + 1, data + size);
  if (mode & 2) {
    std::vector<uint8_t> inner;
    if (!vantor::CProxySocketClient::messageOf(message.data(), message.size(), inner)) return 0;
    if (inner.size() > vantor::CDnsClient::kMaxDatagramMessage) __builtin_trap();
    message = std::move(inner);
  }
  vantor::CDnsClient client;
  client.buildQuery("a.b", "A");
  if ((mode & 1) && message.size() >= 2) {
    message[0] = static_cast<uint8_t>(client.identifier() >> 8);
    message[1] = static_cast<uint8_t>(client.identifier());
  }
  // A block of exactly the message's size: a read one byte beyond it is a finding.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[message.size() + 1]);
  if (!message.empty()) std::memcpy(exact.get(), message.data(), message.size());
  if (client.parseReply(exact.get(), message.size(), mode & 4)) {
    for (const auto& record : client.answerRecords())
      if (record->name.size() > 255 || record->data.size() > 65535) __builtin_trap();
  }
  return 0;
}
