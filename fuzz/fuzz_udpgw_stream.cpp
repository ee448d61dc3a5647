// The udpgw stream from the local service reaches the tunnel in pieces of any
// size. Two ways in, picked by the low bit of the first byte:
//   0: the length-prefix framing alone, with a message limit from bytes 1-2;
//      the messages handed on, and the error for an oversized one, must be
//      exactly those of a plain reading of the whole stream.
//   1: the flow table on top of it, driven by a small program: submit a
//      datagram (creating or rebinding flows), feed stream bytes, or move to
//      a fresh stream. Every complete message must be delivered or dropped
//      exactly as a plain reading of flags, conid, address and size says.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tunnel/base/blog.h"
#include "tunnel/base/btime.h"
#include "tunnel/base/reactor.h"
#include "tunnel/udpgw/packet_proto.h"
#include "tunnel/udpgw/udpgw_client.h"

using namespace vantor::tunnel;

namespace {

using Bytes = std::vector<uint8_t>;

BReactor* reactor() {
  static BReactor* r = [] {
    BLog_Init(BLog_DiscardSink());
    BTime_Init();
    auto* made = new BReactor;
    if (!BReactor_Init(made)) __builtin_trap();
    return made;
  }();
  return r;
}

// Runs queued jobs the way the loop does, without waiting for timers or I/O.
void drain() {
  BReactor* r = reactor();
  while (ReactorJob* job = r->jobsTop) {
    ReactorJob_Unset(job);
    job->handler(job->user);
  }
}

// The far end of the stream: keeps what is fed until the reader asks for it.
struct FakeStream {
  StreamSender sender;
  StreamReceiver receiver;
  uint8_t* recvBuf = nullptr;
  int recvAvail = 0;
  Bytes pending;
  Bytes delivered;  // every byte handed to the reader, in order

  FakeStream() {
    StreamSender_Init(&sender, reactor(), sendOp, this);
    StreamReceiver_Init(&receiver, reactor(), recvOp, this);
  }
  ~FakeStream() {
    StreamSender_Free(&sender);
    StreamReceiver_Free(&receiver);
  }
  static void sendOp(void* p, const uint8_t*, int len) { StreamSender_Done(&static_cast<FakeStream*>(p)->sender, len); }
  static void recvOp(void* p, uint8_t* buf, int avail) {
    auto* f = static_cast<FakeStream*>(p);
    f->recvBuf = buf;
    f->recvAvail = avail;
    f->pump();
  }
  void feed(const uint8_t* data, std::size_t n) {
    pending.insert(pending.end(), data, data + n);
    pump();
  }
  void pump() {
    if (!recvBuf || pending.empty()) return;
    std::size_t n =
        pending.size() < static_cast<std::size_t>(recvAvail) ? pending.size() : static_cast<std::size_t>(recvAvail);
    std::memcpy(recvBuf, pending.data(), n);
    delivered.insert(delivered.end(), pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
    recvBuf = nullptr;
    StreamReceiver_Done(&receiver, static_cast<int>(n));
  }
};

// Complete messages (without their length prefix) from `pos` on; `pos`
// moves past them.
std::vector<Bytes> frames(const Bytes& stream, std::size_t& pos) {
  std::vector<Bytes> out;
  while (stream.size() - pos >= 2) {
    std::size_t len = stream[pos] | stream[pos + 1] << 8;
    if (stream.size() - pos - 2 < len) break;
    out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                     stream.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len));
    pos += 2 + len;
  }
  return out;
}

// ---- the framing alone -------------------------------------------------------

struct DecoderRun {
  std::vector<Bytes> messages;
  bool failed = false;
};

void decoderMessage(void* user, const uint8_t* data, int len) {
  auto* run = static_cast<DecoderRun*>(user);
  if (run->failed || len < 0) __builtin_trap();
  run->messages.emplace_back(data, data + len);
}
void decoderError(void* user) { static_cast<DecoderRun*>(user)->failed = true; }

void fuzzDecoder(const uint8_t* data, std::size_t size) {
  if (size < 4) return;
  const int maxMessage = data[1] | data[2] << 8;
  const std::size_t step = data[3] % 97 + 1;
  data += 4;
  size -= 4;

  FakeStream stream;
  DecoderRun run;
  PacketProtoDecoder decoder;
  if (!PacketProtoDecoder_Init(&decoder, &stream.receiver, maxMessage, decoderMessage, decoderError, &run))
    __builtin_trap();
  for (std::size_t at = 0; at < size && !run.failed; at += step) {
    stream.feed(data + at, size - at < step ? size - at : step);
    drain();
  }
  PacketProtoDecoder_Free(&decoder);

  // The plain reading: messages in order up to the first one over the limit.
  Bytes whole(data, data + size);
  std::vector<Bytes> expected;
  bool expectFailure = false;
  for (std::size_t pos = 0; whole.size() - pos >= 2;) {
    std::size_t len = whole[pos] | whole[pos + 1] << 8;
    if (len > static_cast<std::size_t>(maxMessage)) {
      expectFailure = true;
      break;
    }
    if (whole.size() - pos - 2 < len) break;
    expected.emplace_back(whole.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                          whole.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len));
    pos += 2 + len;
  }
  if (run.failed != expectFailure || run.messages != expected) __builtin_trap();
}

// ---- the flow table ------------------------------------------------------------

struct Delivery {
  BAddr local, remote;
  Bytes data;
  bool operator==(const Delivery& o) const {
    return BAddr_Equal(local, o.local) && BAddr_Equal(remote, o.remote) && data == o.data;
  }
};

struct ClientRun {
  UdpGwClient client;
  std::vector<Delivery> got;
  int serverErrors = 0;
};

void clientReceived(void* user, BAddr local, BAddr remote, const uint8_t* data, int len) {
  static_cast<ClientRun*>(user)->got.push_back({local, remote, Bytes(data, data + len)});
}
void clientServerError(void* user) { ++static_cast<ClientRun*>(user)->serverErrors; }

BAddr tableAddress(unsigned i) {
  static const uint8_t v6a[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53};
  static const uint8_t v6b[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
  switch (i % 8) {
    case 0:
      return BAddr_MakeIPv4(0x0100000A, 0x3500);  // 10.0.0.1:53
    case 1:
      return BAddr_MakeIPv4(0x0100000A, 0x0700);  // 10.0.0.1:7
    case 2:
      return BAddr_MakeIPv4(0x08080808, 0x3500);  // 8.8.8.8:53
    case 3:
      return BAddr_MakeIPv4(0x3C4BC60A, 0x409C);  // 10.198.75.60:40000
    case 4:
      return BAddr_MakeIPv4(0x3D4BC60A, 0x419C);  // 10.198.75.61:40001
    case 5:
      return BAddr_MakeIPv6(v6a, 0x3500);
    case 6:
      return BAddr_MakeIPv6(v6b, 0xBB01);
    default:
      return BAddr_MakeIPv4(0, 0);
  }
}

// What the flow table must do with one message, read plainly.
void expectMessage(const UdpGwClient& c, const Bytes& m, std::vector<Delivery>& expected, uint64_t& expectedDrops) {
  if (m.size() < 3) return void(++expectedDrops);
  const uint8_t flags = m[0];
  const unsigned conid = m[1] | m[2] << 8;
  const bool v6 = (flags & UDPGW_CLIENT_FLAG_IPV6) != 0;
  const std::size_t addrSize = v6 ? 18 : 6;
  if (m.size() < 3 + addrSize) return void(++expectedDrops);
  BAddr remote;
  uint16_t port;
  std::memcpy(&port, &m[3 + addrSize - 2], 2);
  if (v6) {
    remote = BAddr_MakeIPv6(&m[3], port);
  } else {
    uint32_t ip;
    std::memcpy(&ip, &m[3], 4);
    remote = BAddr_MakeIPv4(ip, port);
  }
  const std::size_t dataLen = m.size() - 3 - addrSize;
  if (dataLen > static_cast<std::size_t>(c.udpMtu)) return void(++expectedDrops);
  const UdpGwConnection* flow = conid < c.byConid.size() ? c.byConid[conid] : nullptr;
  if (!flow || !BAddr_Equal(flow->addr.remote, remote)) return void(++expectedDrops);
  expected.push_back(
      {flow->addr.local, flow->addr.remote, Bytes(m.begin() + static_cast<std::ptrdiff_t>(3 + addrSize), m.end())});
}

void fuzzClient(const uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const int maxConnections = data[1] % 8 + 1;
  const int udpMtu = data[2] * 8;
  std::size_t at = 3;

  ClientRun run;
  if (!UdpGwClient_Init(&run.client, udpMtu, maxConnections, 2, 1000000, reactor(), &run, clientServerError,
                        clientReceived))
    __builtin_trap();
  auto stream = std::make_unique<FakeStream>();
  if (!UdpGwClient_ConnectServer(&run.client, &stream->sender, &stream->receiver)) __builtin_trap();
  drain();

  std::vector<Delivery> expected;
  uint64_t expectedDrops = 0;
  std::size_t parsed = 0;  // bytes of stream->delivered already read plainly
  const uint8_t payload[16] = {'d', 'a', 't', 'a', 'g', 'r', 'a', 'm', 0, 1, 2, 3, 4, 5, 6, 7};
  while (at + 1 < size) {
    const uint8_t op = data[at++];
    const uint8_t arg = data[at++];
    switch (op % 4) {
      case 0: {  // a datagram from the device
        BAddr local = tableAddress(3 + (arg & 1)), remote = tableAddress(arg >> 1);
        UdpGwClient_SubmitPacket(&run.client, local, remote, 0, payload, arg % 17 < udpMtu ? arg % 17 : udpMtu);
        drain();
        break;
      }
      case 1:
      case 2: {  // stream bytes
        std::size_t n = arg + 1u;
        if (n > size - at) n = size - at;
        stream->feed(data + at, n);
        at += n;
        drain();
        for (const Bytes& m : frames(stream->delivered, parsed)) expectMessage(run.client, m, expected, expectedDrops);
        break;
      }
      default: {  // the stream ends; a fresh one takes over
        UdpGwClient_DisconnectServer(&run.client);
        stream = std::make_unique<FakeStream>();
        parsed = 0;
        if (!UdpGwClient_ConnectServer(&run.client, &stream->sender, &stream->receiver)) __builtin_trap();
        drain();
        break;
      }
    }
    if (run.got != expected || run.client.droppedReceived != expectedDrops || run.serverErrors != 0) __builtin_trap();
    for (const Delivery& d : run.got)
      if (static_cast<int>(d.data.size()) > udpMtu) __builtin_trap();
  }
  UdpGwClient_Free(&run.client);
  stream.reset();
  drain();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1)
    fuzzClient(data, size);
  else
    fuzzDecoder(data, size);
  return 0;
}
