// tls1.2_ticket_auth and tls1.2_ticket_fastauth: the connection looks like a
// TLS 1.2 session resumed with a ticket. ClientHello and the server's flight
// carry HMAC-SHA1 authenticators keyed with the node key and a per-connection
// client id; afterwards the stream travels in application-data records.
#pragma once

#include <string>
#include <string_view>

#include "crypto/ssr/obfs.h"
#include "crypto/ssr/plugin_bytes.h"

namespace vantor {

class CObfsTls12TickAuth : public CObfsBase {
 public:
  static constexpr int kOverhead = 5;
  static constexpr int kMacLength = 10;
  // Bit 0: ClientHello sent; bit 1: ChangeCipherSpec and Finished queued;
  // bit 2: sending application data; bit 3: server flight verified.
  static constexpr int kHelloSent = 1, kFinishQueued = 2, kSendingData = 4, kServerVerified = 8;
  // A server flight (or an incomplete record) larger than this is refused.
  static constexpr int kMaxBuffered = 64 * 1024;
  static constexpr int kMaxRecordPayload = 0xFFFF;

  // `tableName` is "tls1.2_ticket_auth" or "tls1.2_ticket_fastauth".
  CObfsTls12TickAuth(std::string param, std::string_view tableName);
  ~CObfsTls12TickAuth() override;

  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;
  bool ClientEncode(uint8_t*& buffer, int length, int capacity, int& outLength) override;
  bool ClientDecode(uint8_t*& buffer, int length, int capacity, int& outLength, bool& needSendBack) override;

  // The first 10 bytes of HMAC-SHA1 keyed with the node key and the client id.
  void mac(const uint8_t* data, std::size_t length, uint8_t* out) const;
  ssr::Bytes buildClientHello();
  // The server_name of the ClientHello: empty for an address.
  std::string sniHost() const;
  const uint8_t* clientId() const { return clientId_; }
  int state() const { return state_; }
  bool fast() const { return fast_ != 0; }

 private:
  void clear();
  void appendRecords(ssr::Bytes& out, const uint8_t* data, int length);
  ssr::Bytes buildFinish();
  // Server flight handling; false on a forged flight. `done` when verified.
  bool takeServerFlight(bool& done);
  // Moves whole application-data records from the receive buffer to `out`.
  bool takeRecords(ssr::Bytes& out);

  int state_ = 0;
  ssr::Bytes sendQueue_;
  ssr::Bytes recv_;
  uint8_t clientId_[32] = {};
  uint32_t recordCount_ = 0;
  int fast_ = 0;
};

}  // namespace vantor
