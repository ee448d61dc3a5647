// The SOCKS 5 client against scripted servers on loopback: what it sends,
// what it accepts, and which event each ending produces.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "tunnel/base/blog.h"
#include "tunnel/base/reactor.h"
#include "tunnel/socks/bsocks_client.h"

namespace vantor::tunnel {
namespace {

using platform::SocketHandle;

std::vector<uint8_t> readExact(SocketHandle s, std::size_t n) {
  std::vector<uint8_t> out;
  uint8_t buf[512];
  while (out.size() < n) {
    long got = platform::recvBytes(s, buf, std::min(sizeof buf, n - out.size()), false);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

void sendAll(SocketHandle s, const std::vector<uint8_t>& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    long n = platform::sendBytes(s, data.data() + off, data.size() - off, false);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

// A one-connection server on a free loopback port (IPv4, or ::1 with
// `ipv6`) running `script`.
struct ScriptedServer {
  explicit ScriptedServer(std::function<void(SocketHandle)> script, bool ipv6 = false) {
    if (ipv6) {
      listener = ::socket(AF_INET6, SOCK_STREAM, 0);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      socklen_t len = sizeof a;
      EXPECT_EQ(::bind(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&a), len), 0);
      ::listen(static_cast<int>(listener), 4);
      ::getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&a), &len);
      port = ntohs(a.sin6_port);
    } else {
      listener = platform::createSocket(platform::SocketType::Tcp);
      platform::setReuseAddress(listener);
      platform::bindSocket(listener, {platform::kLoopbackAddress, 0});
      platform::listenSocket(listener, 4);
      platform::Ipv4Endpoint local;
      platform::localEndpoint(listener, local);
      port = local.port;
    }
    thread = std::thread([this, script] {
      SocketHandle c = platform::acceptSocket(listener, nullptr);
      if (c == platform::kInvalidSocket) return;
      script(c);
      platform::closeSocket(c);
    });
  }
  ~ScriptedServer() {
    platform::shutdownSocket(listener);
    thread.join();
    platform::closeSocket(listener);
  }
  SocketHandle listener;
  uint16_t port = 0;
  std::thread thread;
};

BAddr loopback(uint16_t port) {
  uint8_t p[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  uint16_t net;
  std::memcpy(&net, p, 2);
  return BAddr_MakeIPv4(platform::kLoopbackAddress, net);
}

const BAddr kTarget = [] {
  uint8_t a[4] = {10, 220, 0, 1};
  uint32_t v;
  std::memcpy(&v, a, 4);
  uint8_t p[2] = {0x1f, 0x90};  // 8080
  uint16_t port;
  std::memcpy(&port, p, 2);
  return BAddr_MakeIPv4(v, port);
}();

struct SocksRun {
  BReactor reactor;
  BSocksClient client;
  std::vector<int> events;
  std::string receivedText;
  uint8_t buf[64];
  bool freed = false;
  bool shutdownOnUp = false;

  SocksRun() {
    BLog_Init(BLog_DiscardSink());
    EXPECT_TRUE(BReactor_Init(&reactor));
  }
  ~SocksRun() {
    if (!freed) BSocksClient_Free(&client);
    BReactor_Free(&reactor);
    BLog_Free();
  }

  static void handler(void* user, int event) {
    auto* r = static_cast<SocksRun*>(user);
    r->events.push_back(event);
    if (event == BSOCKSCLIENT_EVENT_UP) {
      StreamReceiver* recv = BSocksClient_GetReceiver(&r->client);
      StreamReceiver_SetDone(recv, onReceived, r);
      StreamReceiver_Recv(recv, r->buf, sizeof r->buf);
      if (r->shutdownOnUp) BSocksClient_ShutdownSend(&r->client);
      return;
    }
    BSocksClient_Free(&r->client);
    r->freed = true;
    BReactor_Quit(&r->reactor, 0);
  }
  static void onReceived(void* user, int n) {
    auto* r = static_cast<SocksRun*>(user);
    r->receivedText.append(reinterpret_cast<char*>(r->buf), static_cast<std::size_t>(n));
    StreamReceiver_Recv(BSocksClient_GetReceiver(&r->client), r->buf, sizeof r->buf);
  }

  void go(uint16_t port, std::vector<BSocksClientAuthInfo> auth = {BSocksClientAuthInfo{}}) {
    go(loopback(port), auth);
  }
  void go(BAddr server, std::vector<BSocksClientAuthInfo> auth = {BSocksClientAuthInfo{}}) {
    ASSERT_TRUE(BSocksClient_Init(&client, server, auth, kTarget, handler, this, &reactor));
    ReactorTimer guard;
    ReactorTimer_Init(
        &guard, 10000, [](void* u) { BReactor_Quit(static_cast<BReactor*>(u), 1); }, &reactor);
    BReactor_SetTimer(&reactor, &guard);
    EXPECT_EQ(BReactor_Exec(&reactor), 0) << "no final event within 10 s";
    BReactor_RemoveTimer(&reactor, &guard);
  }
};

const std::vector<uint8_t> kOkReply = {5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34};

TEST(SocksClient, NoAuthConnectThenDataThenServerCloseIsClosed) {
  std::vector<uint8_t> greeting, request;
  ScriptedServer server([&](SocketHandle c) {
    greeting = readExact(c, 3);
    sendAll(c, {5, 0});
    request = readExact(c, 10);
    // The reply arrives in pieces: header and address separately.
    sendAll(c, {5, 0, 0, 1});
    sendAll(c, {127, 0, 0, 1, 0x12, 0x34});
    sendAll(c, {'h', 'e', 'l', 'l', 'o'});
  });
  SocksRun run;
  run.go(server.port);
  EXPECT_EQ(greeting, (std::vector<uint8_t>{5, 1, 0}));
  EXPECT_EQ(request, (std::vector<uint8_t>{5, 1, 0, 1, 10, 220, 0, 1, 0x1f, 0x90}));
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_UP, BSOCKSCLIENT_EVENT_ERROR_CLOSED}));
  EXPECT_EQ(run.receivedText, "hello");
}

// A short read leaves the next read waiting for the socket's next
// readiness report. Bytes that arrive while no read is asked for (the
// relay is busy elsewhere) must still be read when it asks: the server
// waits for an answer to them before it goes on.
TEST(SocksClient, BytesThatArriveWhileNoReadIsAskedForAreRead) {
  ScriptedServer server([&](SocketHandle c) {
    readExact(c, 3);
    sendAll(c, {5, 0});
    readExact(c, 10);
    sendAll(c, kOkReply);
    sendAll(c, {'a', 'b'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sendAll(c, {'c', 'd'});
    if (readExact(c, 1).size() != 1) return;
    sendAll(c, {'e', 'f'});
  });
  struct Run : SocksRun {
    ReactorTimer later;
    uint8_t ack = 'k';
    static void onUp(void* user, int event) {
      auto* r = static_cast<Run*>(user);
      if (event != BSOCKSCLIENT_EVENT_UP) return SocksRun::handler(user, event);
      r->events.push_back(event);
      StreamReceiver_SetDone(BSocksClient_GetReceiver(&r->client), onBytes, r);
      StreamSender_SetDone(
          BSocksClient_GetSender(&r->client), [](void*, int) {}, r);
      StreamReceiver_Recv(BSocksClient_GetReceiver(&r->client), r->buf, sizeof r->buf);
    }
    static void onBytes(void* user, int n) {
      auto* r = static_cast<Run*>(user);
      r->receivedText.append(reinterpret_cast<char*>(r->buf), static_cast<std::size_t>(n));
      if (r->receivedText == "abcd") StreamSender_Send(BSocksClient_GetSender(&r->client), &r->ack, 1);
      // The next read is asked for only after the second piece has arrived.
      ReactorTimer_Init(
          &r->later, 300,
          [](void* u) {
            auto* self = static_cast<Run*>(u);
            StreamReceiver_Recv(BSocksClient_GetReceiver(&self->client), self->buf, sizeof self->buf);
          },
          r);
      BReactor_SetTimer(&r->reactor, &r->later);
    }
  } run;
  ASSERT_TRUE(BSocksClient_Init(&run.client, loopback(server.port), {BSocksClientAuthInfo{}}, kTarget, Run::onUp, &run,
                                &run.reactor));
  ReactorTimer guard;
  ReactorTimer_Init(
      &guard, 5000, [](void* u) { BReactor_Quit(static_cast<BReactor*>(u), 1); }, &run.reactor);
  BReactor_SetTimer(&run.reactor, &guard);
  EXPECT_EQ(BReactor_Exec(&run.reactor), 0) << "the bytes that came while no read was asked for were never read";
  BReactor_RemoveTimer(&run.reactor, &guard);
  BReactor_RemoveTimer(&run.reactor, &run.later);
  EXPECT_EQ(run.receivedText, "abcdef");
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_UP, BSOCKSCLIENT_EVENT_ERROR_CLOSED}));
}

TEST(SocksClient, ServerOnIpv6AndTheSendingSideEndsAlone) {
  std::string afterEof;
  ScriptedServer server(
      [&](SocketHandle c) {
        readExact(c, 3);
        sendAll(c, {5, 0});
        readExact(c, 10);
        sendAll(c, kOkReply);
        // The client ends its sending side: the server sees the end of the
        // stream and can still answer.
        afterEof = readExact(c, 1).empty() ? "eof" : "data";
        sendAll(c, {'a', 'n', 's', 'w', 'e', 'r'});
      },
      true);
  SocksRun run;
  run.shutdownOnUp = true;
  uint8_t p[2] = {static_cast<uint8_t>(server.port >> 8), static_cast<uint8_t>(server.port)};
  uint16_t port;
  std::memcpy(&port, p, 2);
  run.go(BAddr_MakeIPv6(in6addr_loopback.s6_addr, port));
  EXPECT_EQ(afterEof, "eof");
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_UP, BSOCKSCLIENT_EVENT_ERROR_CLOSED}));
  EXPECT_EQ(run.receivedText, "answer");
}

TEST(SocksClient, MethodNotOfferedIsRejected) {
  ScriptedServer server([](SocketHandle c) {
    readExact(c, 3);
    sendAll(c, {5, 2});
    readExact(c, 1);  // the client hangs up
  });
  SocksRun run;
  run.go(server.port);
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR}));
}

TEST(SocksClient, WrongVersionInMethodReplyIsAnError) {
  ScriptedServer server([](SocketHandle c) {
    readExact(c, 3);
    sendAll(c, {4, 0});
    readExact(c, 1);
  });
  SocksRun run;
  run.go(server.port);
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR}));
}

TEST(SocksClient, FailedReplyAndUnknownAddressTypeAreErrors) {
  for (uint8_t variant = 0; variant < 2; ++variant) {
    ScriptedServer server([variant](SocketHandle c) {
      readExact(c, 3);
      sendAll(c, {5, 0});
      readExact(c, 10);
      if (variant == 0)
        sendAll(c, {5, 1, 0, 1, 0, 0, 0, 0, 0, 0});  // general failure
      else
        sendAll(c, {5, 0, 0, 3, 4, 'h', 'o', 's', 't', 0, 80});  // domain-name reply
      readExact(c, 1);
    });
    SocksRun run;
    run.go(server.port);
    EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR})) << int(variant);
  }
}

TEST(SocksClient, EndOfStreamBeforeTheReplyIsCompleteIsAnError) {
  ScriptedServer server([](SocketHandle c) {
    readExact(c, 3);
    sendAll(c, {5, 0});
    readExact(c, 10);
    sendAll(c, {5, 0, 0, 1, 127, 0});  // 6 of 10 bytes, then close
  });
  SocksRun run;
  run.go(server.port);
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR}));
}

TEST(SocksClient, PasswordAuthentication) {
  std::vector<uint8_t> greeting, auth;
  ScriptedServer server([&](SocketHandle c) {
    greeting = readExact(c, 4);
    sendAll(c, {5, 2});
    auth = readExact(c, 3 + 4 + 6);
    sendAll(c, {1, 0});
    readExact(c, 10);
    sendAll(c, kOkReply);
  });
  SocksRun run;
  BSocksClientAuthInfo none, pw;
  pw.method = socks::kMethodUserPass;
  pw.username = "user";
  pw.password = "secret";
  run.go(server.port, {none, pw});
  EXPECT_EQ(greeting, (std::vector<uint8_t>{5, 2, 0, 2}));
  EXPECT_EQ(auth, (std::vector<uint8_t>{1, 4, 'u', 's', 'e', 'r', 6, 's', 'e', 'c', 'r', 'e', 't'}));
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_UP, BSOCKSCLIENT_EVENT_ERROR_CLOSED}));
}

TEST(SocksClient, NegativePasswordReplyIsAnError) {
  ScriptedServer server([](SocketHandle c) {
    readExact(c, 4);
    sendAll(c, {5, 2});
    readExact(c, 3 + 1 + 1);
    sendAll(c, {1, 1});
    readExact(c, 1);
  });
  SocksRun run;
  BSocksClientAuthInfo none, pw;
  pw.method = socks::kMethodUserPass;
  pw.username = "u";
  pw.password = "p";
  run.go(server.port, {none, pw});
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR}));
}

TEST(SocksClient, RefusedConnectionIsAnErrorEventNotAnInitFailure) {
  uint16_t port;
  {
    // A port that was free a moment ago and has no listener now.
    SocketHandle s = platform::createSocket(platform::SocketType::Tcp);
    platform::bindSocket(s, {platform::kLoopbackAddress, 0});
    platform::Ipv4Endpoint local;
    platform::localEndpoint(s, local);
    port = local.port;
    platform::closeSocket(s);
  }
  SocksRun run;
  run.go(port);
  EXPECT_EQ(run.events, (std::vector<int>{BSOCKSCLIENT_EVENT_ERROR}));
}

}  // namespace
}  // namespace vantor::tunnel
