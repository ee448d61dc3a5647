// A small DNS client: one query to one server, the reply parsed into typed
// records. CDnsClient asks over TCP; CProxyDNSClient sends the same query as
// one UDP datagram through a SOCKS 5 UDP relay, CSSRDnsClient through a
// Shadowsocks/ShadowsocksR node. The node tester uses them to see whether a
// node relays UDP. Every failure is a false result; nothing is printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diag/dns_message.h"
#include "platform/net.h"

namespace vantor {

class CSSRCLient;

struct DnsHeader {
  uint16_t id = 0;
  uint16_t flags = 0;
  uint16_t qdCount = 0;
  uint16_t anCount = 0;
  uint16_t nsCount = 0;
  uint16_t arCount = 0;
};

inline constexpr uint16_t kDnsFlagResponse = 0x8000;       // QR
inline constexpr uint16_t kDnsFlagAuthoritative = 0x0400;  // AA
inline constexpr uint16_t kDnsFlagsZ = 0x0070;

class CDnsClient {
 public:
  static constexpr uint16_t kServerPort = 53;
  static constexpr int kTimeoutMs = 3000;
  // Replies through a UDP carrier: at most this many bytes of message are kept.
  static constexpr std::size_t kMaxDatagramMessage = 1024;
  static constexpr int kRootDepth = 10;

  CDnsClient();
  virtual ~CDnsClient() = default;
  CDnsClient(const CDnsClient&) = delete;
  CDnsClient& operator=(const CDnsClient&) = delete;

  // One exchange with `server` (a dotted address or a host name) on port 53.
  virtual bool query(const std::string& server, const std::string& name, const std::string& typeName);
  // Reads `count` records at the message's read position into `list`.
  virtual bool parseRecords(CDnsRRPtrList& list, int count);
  // query, following referrals of the authority section while `depth` lasts;
  // without a server, starts at the .com/.net registry's name servers.
  virtual bool resolve(const std::string& server, const std::string& name, const std::string& typeName,
                       std::string& text, int& depth);
  // The MX answers for `name`, and the addresses the reply gave for them.
  virtual bool lookupMx(std::string& text, const std::string& server, const std::string& name,
                        std::vector<std::string>& names);
  // The A answers for `name`: every answer record's data goes to `addresses`.
  // Succeeds when at least one arrived.
  virtual bool lookupA(std::string& text, const std::string& server, const std::string& name,
                       std::vector<std::string>& addresses, int depth);
  // Additional-section A records owned by `name`.
  virtual void collectAddresses(const std::string& name, std::vector<std::string>& addresses);

  // The query message (header and one question) in the message buffer; false
  // for a name that cannot be encoded.
  bool buildQuery(const std::string& name, const std::string& typeName);
  // Parses a reply: it must answer this client's query (identifier, QR set,
  // Z clear); then the question section and the answer records, and with
  // `allSections` the authority and additional records too. Never reads
  // outside `data[0, length)`.
  bool parseReply(const uint8_t* data, std::size_t length, bool allSections);
  // QTYPE of an RFC 1035 mnemonic ("A" = 1 ... "TXT" = 16, any case); 0xFFFF otherwise.
  static uint16_t typeCode(const std::string& typeName);

  uint16_t identifier() const { return identifier_; }
  const DnsHeader& replyHeader() const { return header; }
  const CDnsRRPtrList& answerRecords() const { return answers; }
  const CDnsBuffer& queryMessage() const { return message; }
  const std::string& text() const { return resultText; }

 protected:
  std::string resultText;
  CDnsBuffer message;
  DnsHeader header;
  uint16_t questionType = 0;
  CDnsRRPtrList answers;
  CDnsRRPtrList authority;
  CDnsRRPtrList additional;

 private:
  uint16_t identifier_;
};

// A socket handle, closed with its owner.
class CSocketEx {
 public:
  CSocketEx() = default;
  virtual ~CSocketEx();
  CSocketEx(const CSocketEx&) = delete;
  CSocketEx& operator=(const CSocketEx&) = delete;
  platform::SocketHandle handle() const { return socket_; }

 protected:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

// A TCP connection with one deadline for connecting, sending and receiving.
class CSocketClient : public CSocketEx {
 public:
  explicit CSocketClient(int timeoutMs) : timeoutMs_(timeoutMs) {}
  bool connectTo(const platform::Ipv4Endpoint& peer);
  bool sendAll(const uint8_t* data, std::size_t length);
  bool recvExact(uint8_t* buffer, std::size_t length);

 private:
  bool wait(uint8_t interest);
  int timeoutMs_;
  int64_t deadlineMs_ = 0;
};

// Carries one DNS query as a SOCKS 5 UDP datagram to a relay, and strips the
// SOCKS 5 UDP header from the answer.
class CProxySocketClient : public CSocketEx {
 public:
  CProxySocketClient(std::string peerHost, uint16_t peerPort, std::string dnsServer);

  // Resolves the DNS server (port 53), then connects to the peer.
  virtual bool open();
  virtual bool connectTo(const std::string& host, uint16_t port);
  // The SOCKS 5 UDP header naming the DNS server: RSV RSV FRAG ATYP=1 address port.
  virtual int writeHeader(uint8_t* out, int size);
  virtual bool sendQuery(const uint8_t* data, int length);
  // One datagram; the DNS message it carries (at most 1024 bytes) goes to
  // `out`. False for no datagram in time or an unknown address type.
  virtual bool receiveReply(std::vector<uint8_t>& out);
  // The DNS message inside a SOCKS 5 UDP datagram (at most 1024 bytes of
  // it); false when the header is cut short or of an unknown address type.
  static bool messageOf(const uint8_t* datagram, std::size_t length, std::vector<uint8_t>& out);

 protected:
  // The transport of one datagram in SOCKS 5 UDP form, each way.
  virtual long sendDatagram(const uint8_t* data, std::size_t length);
  virtual long recvDatagram(uint8_t* buffer, std::size_t size);

  std::string peerHost_;
  uint16_t peerPort_;
  std::string dnsServer_;
  platform::Ipv4Endpoint dnsEndpoint_{};
};

// The same datagram through a Shadowsocks/ShadowsocksR node: the session's
// own datagram pipeline (protocol plugin and cipher) on its UDP socket to the
// node's server.
class CSSRProxySocketClient : public CProxySocketClient {
 public:
  CSSRProxySocketClient(CSSRCLient& session, platform::SocketHandle upstream, std::string dnsServer);
  bool connectTo(const std::string& host, uint16_t port) override;

 protected:
  long sendDatagram(const uint8_t* data, std::size_t length) override;
  long recvDatagram(uint8_t* buffer, std::size_t size) override;

 private:
  CSSRCLient& session_;
  platform::SocketHandle upstream_;
};

// DNS through a SOCKS 5 UDP relay (the carrier's peer).
class CProxyDNSClient : public CDnsClient {
 public:
  void setCarrierPeer(const std::string& host, uint16_t port);
  bool query(const std::string& server, const std::string& name, const std::string& typeName) override;

 protected:
  virtual std::unique_ptr<CProxySocketClient> makeCarrier(const std::string& dnsServer);
  std::string carrierHost;
  uint16_t carrierPort = 0;
};

// DNS through a Shadowsocks/ShadowsocksR node, with the session's cipher and
// plugins, on its UDP socket `upstream` connected to the node's server.
class CSSRDnsClient : public CProxyDNSClient {
 public:
  CSSRDnsClient(CSSRCLient& session, platform::SocketHandle upstream);

 protected:
  std::unique_ptr<CProxySocketClient> makeCarrier(const std::string& dnsServer) override;

 private:
  CSSRCLient& session_;
  platform::SocketHandle upstream_;
};

}  // namespace vantor
