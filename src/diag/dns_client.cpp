#include "diag/dns_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "crypto/ssr/plugin_bytes.h"
#include "service/host_cache.h"
#include "service/ssr_client.h"

namespace vantor {

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The .com/.net registry's name servers, asked when no server is given.
const char* const kRootServers[] = {
    "a.gtld-servers.net", "b.gtld-servers.net", "c.gtld-servers.net", "d.gtld-servers.net", "e.gtld-servers.net",
    "f.gtld-servers.net", "g.gtld-servers.net", "h.gtld-servers.net", "i.gtld-servers.net",
};

}  // namespace

// The identifier is taken from the millisecond tick when the client is made.
CDnsClient::CDnsClient() : identifier_(static_cast<uint16_t>(nowMs() >> 16)) {}

uint16_t CDnsClient::typeCode(const std::string& typeName) {
  static const char* const kMnemonics[] = {"A",  "NS",   "MD",  "MF",  "CNAME", "SOA",   "MB", "MG",
                                           "MR", "NULL", "WKS", "PTR", "HINFO", "MINFO", "MX", "TXT"};
  for (std::size_t i = 0; i < std::size(kMnemonics); ++i)
    if (ssr::equalsIgnoreCase(typeName, kMnemonics[i])) return static_cast<uint16_t>(i + 1);
  return 0xFFFF;
}

bool CDnsClient::buildQuery(const std::string& name, const std::string& typeName) {
  message.clear();
  message.resetRead();
  questionType = typeCode(typeName);
  message.appendBe16(identifier_);
  message.appendBe16(0);  // a plain query, recursion not asked for
  message.appendBe16(1);
  message.appendBe16(0);
  message.appendBe16(0);
  message.appendBe16(0);
  if (!message.appendName(name)) {
    message.clear();
    return false;
  }
  message.appendBe16(questionType);
  message.appendBe16(1);  // IN
  return true;
}

bool CDnsClient::parseRecords(CDnsRRPtrList& list, int count) {
  for (int i = 0; i < count; ++i) {
    if (message.remaining() == 0) return false;
    uint16_t type = 0;
    // Peek at the type to pick the record class: past the owner name.
    std::size_t start = message.position();
    std::string owner;
    if (!message.readName(owner) || !message.readBe16(type)) return false;
    message.seek(start);
    auto record = CDnsRR::create(type);
    if (!record->parse(message)) return false;
    list.push_back(std::move(record));
  }
  return true;
}

bool CDnsClient::parseReply(const uint8_t* data, std::size_t length, bool allSections) {
  answers.clear();
  authority.clear();
  additional.clear();
  header = {};
  message.assign(data, length);
  message.resetRead();
  DnsHeader h;
  message.readBe16(h.id);
  message.readBe16(h.flags);
  message.readBe16(h.qdCount);
  message.readBe16(h.anCount);
  message.readBe16(h.nsCount);
  message.readBe16(h.arCount);
  if (message.overrun()) return false;
  header = h;
  // Only an answer to this query counts: a stray datagram, a late answer to
  // another query or a query echoed back must not pass for a reply.
  if (h.id != identifier_ || !(h.flags & kDnsFlagResponse) || (h.flags & kDnsFlagsZ)) return false;
  for (int i = 0; i < h.qdCount; ++i) {
    std::string name;
    if (!message.readName(name) || !message.skip(4)) return false;
  }
  if (!parseRecords(answers, h.anCount)) return false;
  if (!allSections) return true;
  return parseRecords(authority, h.nsCount) && parseRecords(additional, h.arCount);
}

bool CDnsClient::query(const std::string& server, const std::string& name, const std::string& typeName) {
  if (!buildQuery(name, typeName)) return false;
  platform::Ipv4Endpoint peer{};
  if (!fillAddress(peer, server, kServerPort)) return false;
  CSocketClient tcp(kTimeoutMs);
  uint8_t length[2];
  platform::writeBe16(length, static_cast<uint16_t>(message.length()));
  if (!tcp.connectTo(peer) || !tcp.sendAll(length, 2) || !tcp.sendAll(message.data(), message.length()) ||
      !tcp.recvExact(length, 2))
    return false;
  std::vector<uint8_t> reply(platform::readBe16(length));
  if (reply.empty() || !tcp.recvExact(reply.data(), reply.size())) return false;
  return parseReply(reply.data(), reply.size(), true);
}

bool CDnsClient::resolve(const std::string& server, const std::string& name, const std::string& typeName,
                         std::string& text, int& depth) {
  if (server.empty()) {
    for (const char* root : kRootServers) {
      int rootDepth = kRootDepth;
      if (resolve(root, name, typeName, text, rootDepth)) return true;
    }
    return false;
  }
  if (depth < 1) {
    text += name + " Domain Does not exist Probably\n";
    return false;
  }
  --depth;
  if (!query(server, name, typeName)) return false;
  if (!answers.empty() || (header.flags & kDnsFlagAuthoritative)) return true;
  // A referral: ask the name servers the authority section names. Their
  // names are copied first, since every query replaces the record lists.
  std::vector<std::string> nameServers;
  for (const auto& record : authority)
    if (record->type == kDnsTypeNS) nameServers.push_back(record->data);
  for (const auto& nameServer : nameServers) {
    if (depth < 1) break;
    if (resolve(nameServer, name, typeName, text, depth)) return true;
  }
  return false;
}

bool CDnsClient::lookupA(std::string& text, const std::string& server, const std::string& name,
                         std::vector<std::string>& addresses, int depth) {
  addresses.clear();
  if (!resolve(server, name, "A", text, depth)) return false;
  for (const auto& record : answers) {
    addresses.push_back(record->data);
    text += record->data + "\n";
  }
  resultText = text;
  return !addresses.empty();
}

bool CDnsClient::lookupMx(std::string& text, const std::string& server, const std::string& name,
                          std::vector<std::string>& names) {
  names.clear();
  int depth = kRootDepth;
  if (!resolve(server, name, "MX", text, depth)) return false;
  for (const auto& record : answers) {
    auto* mx = dynamic_cast<const CDnsRRMX*>(record.get());
    if (!mx) continue;
    names.push_back(mx->exchange);
    text += record->data + "\n";
    collectAddresses(mx->exchange, names);
  }
  resultText = text;
  return !names.empty();
}

void CDnsClient::collectAddresses(const std::string& name, std::vector<std::string>& addresses) {
  for (const auto& record : additional)
    if (record->type == kDnsTypeA && ssr::equalsIgnoreCase(record->name, name)) addresses.push_back(record->data);
}

// --- carriers --------------------------------------------------------------

CSocketEx::~CSocketEx() { platform::closeSocket(socket_); }

bool CSocketClient::wait(uint8_t interest) {
  int64_t left = deadlineMs_ - nowMs();
  if (left <= 0) return false;
  platform::WaitItem item{socket_, interest};
  return platform::waitSockets({&item, 1}, static_cast<int>(left)) > 0 && !item.failed;
}

bool CSocketClient::connectTo(const platform::Ipv4Endpoint& peer) {
  platform::closeSocket(socket_);
  socket_ = platform::createSocket(platform::SocketType::Tcp);
  if (socket_ == platform::kInvalidSocket) return false;
  platform::setNonBlocking(socket_, true);
  deadlineMs_ = nowMs() + timeoutMs_;
  auto status = platform::connectSocket(socket_, peer);
  if (status == platform::ConnectStatus::Failed) return false;
  if (status == platform::ConnectStatus::InProgress &&
      (!wait(platform::kWantWrite) || platform::pendingError(socket_) != 0))
    return false;
  platform::setNoDelay(socket_);
  return true;
}

bool CSocketClient::sendAll(const uint8_t* data, std::size_t length) {
  deadlineMs_ = nowMs() + timeoutMs_;
  std::size_t sent = 0;
  while (sent < length) {
    long n = platform::sendBytes(socket_, data + sent, length - sent, true);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n != platform::kIoWouldBlock || !wait(platform::kWantWrite)) {
      return false;
    }
  }
  return true;
}

// The whole length within one time-out: a reply may arrive in pieces.
bool CSocketClient::recvExact(uint8_t* buffer, std::size_t length) {
  deadlineMs_ = nowMs() + timeoutMs_;
  std::size_t got = 0;
  while (got < length) {
    long n = platform::recvBytes(socket_, buffer + got, length - got, true);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n != platform::kIoWouldBlock || !wait(platform::kWantRead)) {
      return false;
    }
  }
  return true;
}

CProxySocketClient::CProxySocketClient(std::string peerHost, uint16_t peerPort, std::string dnsServer)
    : peerHost_(std::move(peerHost)), peerPort_(peerPort), dnsServer_(std::move(dnsServer)) {}

bool CProxySocketClient::open() {
  return fillAddress(dnsEndpoint_, dnsServer_, CDnsClient::kServerPort) && connectTo(peerHost_, peerPort_);
}

bool CProxySocketClient::connectTo(const std::string& host, uint16_t port) {
  // The peer is a node's UDP relay, which may be on an IPv6 address.
  platform::IpEndpoint peer{};
  if (!fillNodeAddress(peer, host, port)) return false;
  platform::closeSocket(socket_);
  socket_ = platform::createSocketFor(peer, platform::SocketType::Udp);
  return socket_ != platform::kInvalidSocket &&
         platform::connectEndpoint(socket_, peer) == platform::ConnectStatus::Connected;
}

int CProxySocketClient::writeHeader(uint8_t* out, int size) {
  if (size < 10) return 0;
  out[0] = out[1] = out[2] = 0;
  out[3] = 1;
  std::memcpy(out + 4, &dnsEndpoint_.address, 4);
  platform::writeBe16(out + 8, dnsEndpoint_.port);
  return 10;
}

bool CProxySocketClient::sendQuery(const uint8_t* data, int length) {
  if (length <= 0) return false;
  std::vector<uint8_t> datagram(10 + static_cast<std::size_t>(length));
  int headerLength = writeHeader(datagram.data(), 10);
  if (headerLength == 0) return false;
  std::memcpy(datagram.data() + headerLength, data, static_cast<std::size_t>(length));
  // A datagram goes out whole or not at all; an encoding carrier reports the
  // encoded size, which differs.
  return sendDatagram(datagram.data(), datagram.size()) > 0;
}

bool CProxySocketClient::receiveReply(std::vector<uint8_t>& out) {
  // Read whole, so that an oversized datagram is cut here and not by the socket.
  std::vector<uint8_t> datagram(65536);
  long n = recvDatagram(datagram.data(), datagram.size());
  return n > 0 && messageOf(datagram.data(), static_cast<std::size_t>(n), out);
}

bool CProxySocketClient::messageOf(const uint8_t* datagram, std::size_t n, std::vector<uint8_t>& out) {
  if (n < 5) return false;
  std::size_t headerLength;
  switch (datagram[3]) {
    case 1:
      headerLength = 10;
      break;
    case 3:
      headerLength = 7u + datagram[4];
      break;
    case 4:
      headerLength = 22;
      break;
    default:
      return false;
  }
  if (n < headerLength) return false;
  std::size_t length = std::min(n - headerLength, CDnsClient::kMaxDatagramMessage);
  out.assign(datagram + headerLength, datagram + headerLength + length);
  return true;
}

long CProxySocketClient::sendDatagram(const uint8_t* data, std::size_t length) {
  return platform::sendDatagram(socket_, data, length, nullptr, false);
}

long CProxySocketClient::recvDatagram(uint8_t* buffer, std::size_t size) {
  platform::WaitItem item{socket_, platform::kWantRead};
  if (platform::waitSockets({&item, 1}, CDnsClient::kTimeoutMs) <= 0) return -1;
  return platform::recvDatagram(socket_, buffer, size, nullptr, true);
}

CSSRProxySocketClient::CSSRProxySocketClient(CSSRCLient& session, platform::SocketHandle upstream,
                                             std::string dnsServer)
    : CProxySocketClient({}, 0, std::move(dnsServer)), session_(session), upstream_(upstream) {}

// The session's UDP socket is already connected to the node's server.
bool CSSRProxySocketClient::connectTo(const std::string&, uint16_t) { return upstream_ != platform::kInvalidSocket; }

long CSSRProxySocketClient::sendDatagram(const uint8_t* data, std::size_t length) {
  return session_.sendUdpAssociationDatagram(upstream_, data, static_cast<long>(length), CDnsClient::kTimeoutMs / 1000);
}

// The session hands back what it decoded in SOCKS 5 UDP form.
long CSSRProxySocketClient::recvDatagram(uint8_t* buffer, std::size_t size) {
  return session_.recvUdpAssociationDatagram(upstream_, buffer, static_cast<long>(size), CDnsClient::kTimeoutMs / 1000);
}

void CProxyDNSClient::setCarrierPeer(const std::string& host, uint16_t port) {
  carrierHost = host;
  carrierPort = port;
}

std::unique_ptr<CProxySocketClient> CProxyDNSClient::makeCarrier(const std::string& dnsServer) {
  return std::make_unique<CProxySocketClient>(carrierHost, carrierPort, dnsServer);
}

bool CProxyDNSClient::query(const std::string& server, const std::string& name, const std::string& typeName) {
  if (!buildQuery(name, typeName)) return false;
  auto carrier = makeCarrier(server);
  std::vector<uint8_t> reply;
  if (!carrier->open() || !carrier->sendQuery(message.data(), static_cast<int>(message.length())) ||
      !carrier->receiveReply(reply))
    return false;
  return parseReply(reply.data(), reply.size(), false);
}

CSSRDnsClient::CSSRDnsClient(CSSRCLient& session, platform::SocketHandle upstream)
    : session_(session), upstream_(upstream) {}

std::unique_ptr<CProxySocketClient> CSSRDnsClient::makeCarrier(const std::string& dnsServer) {
  return std::make_unique<CSSRProxySocketClient>(session_, upstream_, dnsServer);
}

}  // namespace vantor
