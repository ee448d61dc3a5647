// The TCP relay: one record per connection that the stack accepted, paired
// with a SOCKS 5 connection to the local service whose target is the
// connection's original destination. Bytes are copied both ways through two
// bounded buffers with back-pressure from end to end:
//  - application -> SOCKS: the stack's receive window (5840 bytes by
//    default) is reopened only by the number of bytes SOCKS has taken. What
//    arrives during one round of the reactor goes to SOCKS in one send, once
//    the reactor is idle;
//  - SOCKS -> application: SOCKS is read again only when the previous
//    buffer (8192 bytes by default) has been queued in the stack's send
//    buffer.
// An application that ends its sending side (FIN) has its end of stream
// passed on as the end of our sending side towards SOCKS, once everything it
// sent has gone there; the answer keeps flowing to it until SOCKS ends too.
//
// Memory: every connection may hold kTunnelConnectionFloor bytes each way
// (its first receive window; what it read from SOCKS and the application has
// not acknowledged). Beyond that it draws on one budget shared by all
// connections (TunnelSettings::memoryBudget): a window grows towards the
// stack's window only as the connection's data drains to SOCKS and the
// budget has room, and SOCKS is read ahead of a slow application only while
// the budget has room; a connection that finds none waits (parked) until
// acknowledged bytes free some. A connection gives back all it drew when it
// ends.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lwip/pbuf.h"
#include "tunnel/base/blog.h"
#include "tunnel/core/tunnel_internal.h"

namespace vantor::tunnel {

namespace {

constexpr int kSocksRecvBufferSize = 8192;              // SOCKS -> application, small window
constexpr int kLargeWindowSocksRecvBufferSize = 65536;  // the same with a larger window
// What each connection may hold each way outside the budget (signed, to
// mix with byte counts).
constexpr int64_t kFloor = kTunnelConnectionFloor;
// A SOCKS read smaller than this waits for more room instead.
constexpr int kMinSocksRead = 4096;

int socksRecvBufferSize() {
  return tunnelState().settings.tcpWindow > kTunnelMinTcpWindow ? kLargeWindowSocksRecvBufferSize
                                                                : kSocksRecvBufferSize;
}

// Lets a handler learn, after calling out, whether its record was freed.
struct LivenessWatch;
struct LivenessMarker {
  LivenessWatch* top = nullptr;
};
struct LivenessWatch {
  explicit LivenessWatch(LivenessMarker& m) : marker(&m), prev(m.top) { m.top = this; }
  ~LivenessWatch() {
    if (!dead) marker->top = prev;
  }
  LivenessWatch(const LivenessWatch&) = delete;
  LivenessWatch& operator=(const LivenessWatch&) = delete;
  LivenessMarker* marker;
  LivenessWatch* prev;
  bool dead = false;
};
void killMarker(LivenessMarker& m) {
  for (LivenessWatch* w = m.top; w; w = w->prev) w->dead = true;
  m.top = nullptr;
}

// What happened to the connection whose stack callback is running: lwIP
// must hear ERR_ABRT exactly when that connection was aborted (freed) during
// the callback. A connection that was closed instead must be answered with
// ERR_OK, because a close that had to send a reset leaves the freeing to
// lwIP after the callback returns.
struct CallbackScope {
  static struct tcp_pcb* current;
  static bool currentAborted;
  explicit CallbackScope(struct tcp_pcb* pcb) : savedPcb(current), savedAborted(currentAborted) {
    current = pcb;
    currentAborted = false;
  }
  ~CallbackScope() {
    current = savedPcb;
    currentAborted = savedAborted;
  }
  err_t result() const { return currentAborted ? ERR_ABRT : ERR_OK; }
  struct tcp_pcb* savedPcb;
  bool savedAborted;
};
struct tcp_pcb* CallbackScope::current = nullptr;
bool CallbackScope::currentAborted = false;

void noopJob(void*) {}

// With offload the host cuts an IPv4 TCP packet longer than a frame into
// frame-sized segments (BTap_TcpSegmentLimit payload bytes each). A
// connection whose own segments are exactly that size then sends up to
// 64 KiB per segment of the stack, a whole number of its segments: the
// per-segment work (records, allocations, headers, the walk over the queue
// of unacknowledged segments) shrinks some forty-fold. Only the sending side
// changes: what the application sends is acknowledged as before.
void raiseSendMss(struct tcp_pcb* pcb) {
  const int limit = BTap_TcpSegmentLimit(&tunnelState().device);
  if (limit <= 0 || !IP_IS_V4(&pcb->remote_ip) || pcb->mss != limit) return;
  pcb->mss = static_cast<u16_t>((0xFFFF - 40) / limit * limit);
}

}  // namespace

struct TcpClient {
  TcpClient* prev = nullptr;
  TcpClient* next = nullptr;
  BAddr localAddr;   // where the application connected to
  BAddr remoteAddr;  // the application's own address
  struct tcp_pcb* pcb = nullptr;
  bool clientClosed = false;
  bool clientEof = false;  // the application ended its sending side
  // What the application sent and SOCKS has not taken: bufUsed bytes from
  // bufStart on in a ring of bufCapacity bytes (allocated with the first
  // data), so that a partial send moves nothing.
  std::unique_ptr<uint8_t[]> buf;
  int bufCapacity = 0;
  int bufStart = 0;
  int bufUsed = 0;
  int window = 0;         // the receive window granted to the application (bytes in flight or in buf)
  int64_t downHeld = 0;   // bytes read (or being read) from SOCKS that the application has not acknowledged
  int socksRecvWant = 0;  // the size of the SOCKS read under way
  bool parked = false;    // waits for budget room to read from SOCKS
  TcpClient* parkedNext = nullptr;
  TcpClient* parkedPrev = nullptr;
  bool socksSending = false;   // the ring's first contiguous bytes are being sent
  bool socksShutDown = false;  // our sending side towards SOCKS has ended
  ReactorJob sendJob;          // sends what arrived once the reactor is idle
  BSocksClient socksClient;
  bool socksUp = false;
  bool socksClosed = false;
  StreamSender* socksSendIf = nullptr;
  StreamReceiver* socksRecvIf = nullptr;
  std::unique_ptr<uint8_t[]> socksRecvBuf;  // socksRecvBufferSize()
  int socksRecvBufUsed = -1;
  int socksRecvBufSent = 0;
  bool socksRecvWaiting = false;
  int socksRecvTcpPending = 0;
  LivenessMarker alive;
};

namespace {

BAddr addrFromLwip(const ip_addr_t* ip, u16_t port) {
  uint16_t netPort = lwip_htons(port);
  if (IP_IS_V6(ip)) return BAddr_MakeIPv6(reinterpret_cast<const uint8_t*>(ip_2_ip6(ip)->addr), netPort);
  return BAddr_MakeIPv4(ip_2_ip4(ip)->addr, netPort);
}

void client_logv(TcpClient* client, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void client_logv(TcpClient* client, int level, const char* fmt, ...) {
  if (!BLog_WouldLog(BLOG_CHANNEL_tun2socks, level)) return;
  char local[BADDR_MAX_PRINT_LEN];
  char remote[BADDR_MAX_PRINT_LEN];
  BAddr_Print(&client->localAddr, local);
  BAddr_Print(&client->remoteAddr, remote);
  char prefix[3 * BADDR_MAX_PRINT_LEN];
  std::snprintf(prefix, sizeof prefix,
                "Total Clients: %05d Local addr: %s, Remote addr: %s: ", tunnelState().numClients, local, remote);
  char message[BLOG_LINE_SIZE];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(message, sizeof message, fmt, ap);
  va_end(ap);
  BLog_LogPrefixed(BLOG_CHANNEL_tun2socks, level, prefix, "%s", message);
}

#define client_log(client, level, fmt, ...) client_logv((client), (level), "[%s] " fmt, __func__, ##__VA_ARGS__)

void client_handle_freed_client(TcpClient* client);
void client_free_socks(TcpClient* client);
void client_socks_recv_initiate(TcpClient* client);
int client_socks_recv_send_out(TcpClient* client);

// ---- the memory budget ----

int64_t floorPart(int64_t held) { return held > kFloor ? held - kFloor : 0; }

void budgetChange(int64_t delta) {
  TunnelState& s = tunnelState();
  s.budgetHeld += delta;
  if (s.budgetHeld > 0 && static_cast<uint64_t>(s.budgetHeld) > s.counters.budgetHeldMax)
    s.counters.budgetHeldMax = static_cast<uint64_t>(s.budgetHeld);
  if (delta < 0 && s.parkedFirst) ReactorJob_Set(&s.wakeJob);
}

int64_t budgetRoom() {
  TunnelState& s = tunnelState();
  int64_t room = static_cast<int64_t>(s.settings.memoryBudget) - s.budgetHeld;
  return room > 0 ? room : 0;
}

void setDownHeld(TcpClient* client, int64_t held) {
  int64_t delta = floorPart(held) - floorPart(client->downHeld);
  client->downHeld = held;
  if (delta != 0) budgetChange(delta);
}

void unpark(TcpClient* client) {
  TunnelState& s = tunnelState();
  if (!client->parked) return;
  if (client->parkedPrev)
    client->parkedPrev->parkedNext = client->parkedNext;
  else
    s.parkedFirst = client->parkedNext;
  if (client->parkedNext)
    client->parkedNext->parkedPrev = client->parkedPrev;
  else
    s.parkedLast = client->parkedPrev;
  client->parkedNext = client->parkedPrev = nullptr;
  client->parked = false;
}

void park(TcpClient* client) {
  TunnelState& s = tunnelState();
  if (client->parked) return;
  client->parked = true;
  client->parkedPrev = s.parkedLast;
  client->parkedNext = nullptr;
  if (s.parkedLast)
    s.parkedLast->parkedNext = client;
  else
    s.parkedFirst = client;
  s.parkedLast = client;
}

void client_dealloc(TcpClient* client) {
  TunnelState& s = tunnelState();
  unpark(client);
  setDownHeld(client, 0);
  if (client->window > kFloor) budgetChange(-(client->window - kFloor));
  client->window = 0;
  if (client->prev)
    client->prev->next = client->next;
  else
    s.clients = client->next;
  if (client->next) client->next->prev = client->prev;
  s.numClients--;
  killMarker(client->alive);
  ReactorJob_Free(&client->sendJob);
  delete client;
}

void removeCallbacks(struct tcp_pcb* pcb) {
  tcp_arg(pcb, nullptr);
  tcp_err(pcb, nullptr);
  tcp_recv(pcb, nullptr);
  tcp_sent(pcb, nullptr);
}

void abortPcb(struct tcp_pcb* pcb) {
  if (pcb == CallbackScope::current) CallbackScope::currentAborted = true;
  tcp_abort(pcb);
}

// Closes the application's connection gracefully (or aborts it when that
// fails) and goes on as when the connection is gone.
void client_free_client(TcpClient* client) {
  struct tcp_pcb* pcb = client->pcb;
  removeCallbacks(pcb);
  // The stack resets instead of closing when the window is not fully open
  // (data the application sent was not taken). Ours is the granted window,
  // which may be smaller than the stack's: when all of it is open, nothing
  // is left untaken.
  if (static_cast<int>(pcb->rcv_wnd) == client->window) pcb->rcv_wnd = TCP_WND_MAX(pcb);
  err_t err = tcp_close(pcb);
  if (err != ERR_OK) {
    client_log(client, BLOG_ERROR, "tcp_close failed (%d)", err);
    abortPcb(pcb);
  }
  client_handle_freed_client(client);
}

void client_abort_client(TcpClient* client) {
  struct tcp_pcb* pcb = client->pcb;
  removeCallbacks(pcb);
  abortPcb(pcb);
  client_handle_freed_client(client);
}

void client_handle_freed_client(TcpClient* client) {
  client->clientClosed = true;
  client->pcb = nullptr;
  if (!client->socksClosed) {
    if (client->bufUsed > 0) {
      client_log(client, BLOG_INFO, "waiting untill buffered data is sent to SOCKS");
      return;
    }
    client_free_socks(client);
    return;
  }
  client_dealloc(client);
}

void client_err_func(void* arg, err_t err) {
  auto* client = static_cast<TcpClient*>(arg);
  if (!client) return;
  client_log(client, BLOG_INFO, "client error (%d)", static_cast<int>(err));
  // The stack has freed the connection already.
  client_handle_freed_client(client);
}

// Takes the application's data after the SOCKS side is gone: it is
// acknowledged and dropped, and an end of stream changes nothing (the
// connection is closed once our own data is acknowledged).
err_t client_discard_recv_func(void*, struct tcp_pcb* pcb, struct pbuf* p, err_t) {
  if (p) {
    tcp_recved(pcb, p->tot_len);
    pbuf_free(p);
  }
  return ERR_OK;
}

void client_free_socks(TcpClient* client) {
  if (client->socksUp && !client->clientClosed) tcp_recv(client->pcb, client_discard_recv_func);
  ReactorJob_Unset(&client->sendJob);
  unpark(client);
  client->socksSending = false;
  BSocksClient_Free(&client->socksClient);
  client->socksClosed = true;
  if (!client->socksUp || (client->socksRecvBufUsed == -1 && client->socksRecvTcpPending == 0)) {
    if (!client->clientClosed) {
      client_free_client(client);
    } else {
      client_dealloc(client);
    }
    return;
  }
  if (!client->clientClosed) {
    client_log(client, BLOG_INFO, "waiting until buffered data is sent to client");
    return;
  }
  client_dealloc(client);
}

// Passes the application's end of stream on once everything it sent went
// to SOCKS.
void client_maybe_shutdown_socks(TcpClient* client) {
  if (!client->clientEof || client->socksShutDown || !client->socksUp || client->socksClosed || client->socksSending ||
      client->bufUsed > 0)
    return;
  client_log(client, BLOG_INFO, "passing the client's end of stream to SOCKS");
  BSocksClient_ShutdownSend(&client->socksClient);
  client->socksShutDown = true;
}

void client_schedule_send(TcpClient* client) {
  if (client->socksUp && !client->socksSending && client->bufUsed > 0) ReactorJob_SetIdle(&client->sendJob);
}

void client_send_to_socks(TcpClient* client) {
  client->socksSending = true;
  const int contiguous = std::min(client->bufUsed, client->bufCapacity - client->bufStart);
  StreamSender_Send(client->socksSendIf, client->buf.get() + client->bufStart, contiguous);
}

// Copies the ring's bytes, oldest first, to `out`.
void client_copy_ring(const TcpClient* client, uint8_t* out) {
  const int first = std::min(client->bufUsed, client->bufCapacity - client->bufStart);
  std::memcpy(out, client->buf.get() + client->bufStart, static_cast<std::size_t>(first));
  std::memcpy(out + first, client->buf.get(), static_cast<std::size_t>(client->bufUsed - first));
}

void client_send_job(void* user) {
  auto* client = static_cast<TcpClient*>(user);
  if (!client->socksUp || client->socksClosed || client->socksSending || client->bufUsed == 0) return;
  client_send_to_socks(client);
}

err_t client_recv_func(void* arg, struct tcp_pcb*, struct pbuf* p, err_t) {
  auto* client = static_cast<TcpClient*>(arg);
  if (!p) {
    client_log(client, BLOG_INFO, "client closed");
    client->clientEof = true;
    client_maybe_shutdown_socks(client);
    return ERR_OK;
  }
  if (p->tot_len > client->window - client->bufUsed) {
    client_log(client, BLOG_ERROR, "no buffer for data !?!");
    return ERR_MEM;
  }
  if (!client->buf) {
    // The first data. Later the buffer grows together with the window, while
    // no send to SOCKS reads from it.
    client->buf.reset(new (std::nothrow) uint8_t[static_cast<std::size_t>(client->window)]);
    if (!client->buf) return ERR_MEM;  // offered again later
    client->bufCapacity = client->window;
  }
  // At the ring's end, wrapping round to its start.
  const int at = (client->bufStart + client->bufUsed) % client->bufCapacity;
  const int first = std::min<int>(p->tot_len, client->bufCapacity - at);
  pbuf_copy_partial(p, client->buf.get() + at, static_cast<u16_t>(first), 0);
  if (first < p->tot_len)
    pbuf_copy_partial(p, client->buf.get(), static_cast<u16_t>(p->tot_len - first), static_cast<u16_t>(first));
  client->bufUsed += p->tot_len;
  pbuf_free(p);
  client_schedule_send(client);
  return ERR_OK;
}

// Reopens the application's window by `n` bytes.
void client_recved(TcpClient* client, int n) {
  while (n > 0) {
    u16_t step = static_cast<u16_t>(n > 0xFFFF ? 0xFFFF : n);
    tcp_recved(client->pcb, step);
    n -= step;
  }
}

// How much to widen the application's window after `drained` bytes went to
// SOCKS: the window doubles at most, up to what the connection allows, while
// the budget has room.
int windowGrowth(TcpClient* client, int drained) {
  int cap = static_cast<int>(TCP_WND_MAX(client->pcb));
  if (client->window >= cap || drained <= 0) return 0;
  int64_t grow = std::min<int64_t>(
      {static_cast<int64_t>(cap - client->window), static_cast<int64_t>(client->window), budgetRoom()});
  // Past the floor every byte counts against the budget.
  if (client->window + grow <= kFloor) return static_cast<int>(grow);
  return grow >= TCP_MSS ? static_cast<int>(grow) : 0;
}

void client_socks_send_handler_done(void* user, int n) {
  auto* client = static_cast<TcpClient*>(user);
  client->socksSending = false;
  client->bufUsed -= n;
  // An empty ring starts over at the front: the next send is one piece.
  client->bufStart = client->bufUsed > 0 ? (client->bufStart + n) % client->bufCapacity : 0;
  if (!client->clientClosed) {
    int grow = windowGrowth(client, n);
    if (grow > 0) {
      // The buffer must hold the whole window. It is replaced only here,
      // between two sends: a send that waits for the socket keeps reading
      // from the buffer it was given.
      int bigger = client->window + grow;
      std::unique_ptr<uint8_t[]> replacement(new (std::nothrow) uint8_t[static_cast<std::size_t>(bigger)]);
      if (replacement) {
        client_copy_ring(client, replacement.get());
        client->buf = std::move(replacement);
        client->bufCapacity = bigger;
        client->bufStart = 0;
        int before = client->window;
        client->window = bigger;
        budgetChange(floorPart(client->window) - floorPart(before));
      } else {
        grow = 0;
      }
    }
    client_recved(client, n + grow);
  }
  if (client->bufUsed > 0) {
    client_send_to_socks(client);
    return;
  }
  if (client->clientClosed) {
    client_log(client, BLOG_INFO, "removing after client went down");
    client_free_socks(client);
    return;
  }
  client_maybe_shutdown_socks(client);
}

// Reads from SOCKS as much as the buffer, the connection's floor and the
// budget allow; parks the connection when that is too little.
void client_socks_recv_initiate(TcpClient* client) {
  if (client->socksClosed || client->clientClosed) {
    unpark(client);
    return;
  }
  int64_t allowed = std::max<int64_t>(kFloor - client->downHeld, 0) + budgetRoom();
  int want = static_cast<int>(std::min<int64_t>(socksRecvBufferSize(), allowed));
  if (want < std::min(kMinSocksRead, socksRecvBufferSize())) {
    park(client);
    return;
  }
  unpark(client);
  client->socksRecvWant = want;
  setDownHeld(client, client->downHeld + want);
  StreamReceiver_Recv(client->socksRecvIf, client->socksRecvBuf.get(), want);
}

void relay_wake_job(void*) {
  TunnelState& s = tunnelState();
  // Each parked connection in turn that has room now, in the order they
  // parked.
  TcpClient* client = s.parkedFirst;
  while (client) {
    TcpClient* next = client->parkedNext;
    if (budgetRoom() >= kMinSocksRead || client->downHeld + kMinSocksRead <= kFloor) client_socks_recv_initiate(client);
    client = next;
  }
}

// Queues held SOCKS bytes in the stack. Returns -1 when the connection was
// aborted (the record may be gone), else 0.
int client_socks_recv_send_out(TcpClient* client) {
  do {
    int remaining = client->socksRecvBufUsed - client->socksRecvBufSent;
    int room = static_cast<int>(tcp_sndbuf(client->pcb));
    int toWrite = remaining < room ? remaining : room;
    if (toWrite > 0xFFFF) toWrite = 0xFFFF;
    if (toWrite == 0) break;
    err_t err = tcp_write(client->pcb, client->socksRecvBuf.get() + client->socksRecvBufSent,
                          static_cast<u16_t>(toWrite), TCP_WRITE_FLAG_COPY);
    if (err != ERR_OK) {
      if (err == ERR_MEM) break;
      client_log(client, BLOG_INFO, "tcp_write failed (%d)", static_cast<int>(err));
      client_abort_client(client);
      return -1;
    }
    client->socksRecvBufSent += toWrite;
    client->socksRecvTcpPending += toWrite;
  } while (client->socksRecvBufSent < client->socksRecvBufUsed);

  err_t err = tcp_output(client->pcb);
  if (err != ERR_OK) {
    client_log(client, BLOG_INFO, "tcp_output failed (%d)", static_cast<int>(err));
    client_abort_client(client);
    return -1;
  }
  if (client->socksRecvBufSent < client->socksRecvBufUsed) {
    if (client->socksRecvTcpPending == 0) {
      client_log(client, BLOG_ERROR, "can't queue data, but all data was confirmed !?!");
      client_abort_client(client);
      return -1;
    }
    client->socksRecvWaiting = true;
    return 0;
  }
  client->socksRecvBufUsed = -1;
  return 0;
}

void client_socks_recv_handler_done(void* user, int n) {
  auto* client = static_cast<TcpClient*>(user);
  setDownHeld(client, client->downHeld - (client->socksRecvWant - n));
  client->socksRecvWant = 0;
  if (client->clientClosed) return;
  client->socksRecvBufUsed = n;
  client->socksRecvBufSent = 0;
  if (client_socks_recv_send_out(client) < 0) return;
  if (client->socksRecvBufUsed == -1) client_socks_recv_initiate(client);
}

err_t client_sent_func(void* arg, struct tcp_pcb* pcb, u16_t len) {
  auto* client = static_cast<TcpClient*>(arg);
  CallbackScope scope(pcb);
  client->socksRecvTcpPending -= len;
  setDownHeld(client, client->downHeld > len ? client->downHeld - len : 0);
  if (client->parked) ReactorJob_Set(&tunnelState().wakeJob);
  if (client->socksRecvBufUsed == -1) {
    if (client->socksClosed && client->socksRecvTcpPending == 0) {
      client_log(client, BLOG_INFO, "removing after SOCKS went down");
      client_free_client(client);
      return scope.result();
    }
    return ERR_OK;
  }
  client->socksRecvWaiting = false;
  if (client_socks_recv_send_out(client) < 0) return scope.result();
  if (client->socksRecvBufUsed == -1 && !client->socksClosed) {
    BReactor* r = &tunnelState().reactor;
    ReactorJob marker;
    ReactorJob_Init(&marker, r, noopJob, nullptr);
    ReactorJob_Set(&marker);
    LivenessWatch watch(client->alive);
    client_socks_recv_initiate(client);
    BReactor_Synchronize(r, &marker);
    ReactorJob_Free(&marker);
    if (watch.dead) return scope.result();
  }
  return ERR_OK;
}

void client_socks_handler(void* user, int event) {
  auto* client = static_cast<TcpClient*>(user);
  switch (event) {
    case BSOCKSCLIENT_EVENT_UP: {
      client_log(client, BLOG_INFO, "SOCKS up");
      client->socksSendIf = BSocksClient_GetSender(&client->socksClient);
      client->socksRecvIf = BSocksClient_GetReceiver(&client->socksClient);
      StreamSender_SetDone(client->socksSendIf, client_socks_send_handler_done, client);
      StreamReceiver_SetDone(client->socksRecvIf, client_socks_recv_handler_done, client);
      client->socksRecvBufUsed = -1;
      client->socksRecvTcpPending = 0;
      client->socksRecvBuf.reset(new (std::nothrow) uint8_t[static_cast<std::size_t>(socksRecvBufferSize())]);
      if (!client->socksRecvBuf) {
        client_log(client, BLOG_ERROR, "no memory for the SOCKS buffer");
        client_free_socks(client);
        return;
      }
      if (!client->clientClosed) tcp_sent(client->pcb, client_sent_func);
      client->socksUp = true;
      if (client->bufUsed > 0) {
        client_send_to_socks(client);
      } else {
        client_maybe_shutdown_socks(client);
      }
      if (!client->clientClosed) client_socks_recv_initiate(client);
      return;
    }
    case BSOCKSCLIENT_EVENT_ERROR:
      client_log(client, BLOG_INFO, "SOCKS error");
      client_free_socks(client);
      return;
    case BSOCKSCLIENT_EVENT_ERROR_CLOSED:
      client_log(client, BLOG_INFO, "SOCKS closed");
      client_free_socks(client);
      return;
    default:
      return;
  }
}

}  // namespace

err_t listener_accept_func(void*, struct tcp_pcb* newpcb, err_t err) {
  TunnelState& s = tunnelState();
  if (err != ERR_OK || !newpcb) {
    ++s.counters.acceptFailed;
    return ERR_VAL;
  }
  auto* client = new (std::nothrow) TcpClient;
  if (!client) {
    BLog_Log(BLOG_CHANNEL_tun2socks, BLOG_ERROR, "[%s] listener accept: malloc failed", __func__);
    ++s.counters.acceptFailed;
    return ERR_MEM;
  }
  ReactorJob marker;
  ReactorJob_Init(&marker, &s.reactor, noopJob, nullptr);
  ReactorJob_Set(&marker);
  client->localAddr = addrFromLwip(&newpcb->local_ip, newpcb->local_port);
  client->remoteAddr = addrFromLwip(&newpcb->remote_ip, newpcb->remote_port);
  if (!BSocksClient_Init(&client->socksClient, s.socksServerAddr, s.socksAuth, client->localAddr, client_socks_handler,
                         client, &s.reactor)) {
    BLog_Log(BLOG_CHANNEL_tun2socks, BLOG_ERROR, "[%s] listener accept: BSocksClient_Init failed", __func__);
    ++s.counters.acceptFailed;
    ReactorJob_Free(&marker);
    delete client;
    return ERR_MEM;
  }
  client->next = s.clients;
  if (s.clients) s.clients->prev = client;
  s.clients = client;
  s.numClients++;
  ++s.counters.accepted;
  client->pcb = newpcb;
  client->clientClosed = false;
  ReactorJob_Init(&client->sendJob, &s.reactor, client_send_job, client);
  tcp_arg(newpcb, client);
  tcp_err(newpcb, client_err_func);
  tcp_recv(newpcb, client_recv_func);
  client->bufUsed = 0;
  client->socksUp = false;
  client->socksClosed = false;
  // The window starts at the floor; the SYN-ACK offered at most 65535
  // bytes, so nothing offered is taken back.
  if (newpcb->rcv_wnd > kFloor) {
    newpcb->rcv_wnd = newpcb->rcv_ann_wnd = static_cast<tcpwnd_size_t>(kFloor);
    newpcb->rcv_ann_right_edge = newpcb->rcv_nxt + static_cast<u32_t>(kFloor);
  }
  client->window = static_cast<int>(newpcb->rcv_wnd);
  raiseSendMss(newpcb);
  client_log(client, BLOG_INFO, "accepted");

  LivenessWatch watch(client->alive);
  BReactor_Synchronize(&s.reactor, &marker);
  ReactorJob_Free(&marker);
  if (watch.dead) return ERR_ABRT;
  return ERR_OK;
}

void relay_init() {
  TunnelState& s = tunnelState();
  s.budgetHeld = 0;
  s.parkedFirst = s.parkedLast = nullptr;
  ReactorJob_Init(&s.wakeJob, &s.reactor, relay_wake_job, nullptr);
}

// With VANTOR_RELAY_DUMP set in the environment, the TCP timer calls this
// every 10 s: the budget, the parked list and the state of each connection
// that is not to port 19 (the load tests' stalled readers), on stderr. It
// shows where a connection that makes no progress waits.
void relay_debug_dump() {
  static const bool on = std::getenv("VANTOR_RELAY_DUMP") != nullptr;
  if (!on) return;
  TunnelState& s = tunnelState();
  int parked = 0;
  for (TcpClient* c = s.parkedFirst; c; c = c->parkedNext) ++parked;
  std::fprintf(stderr, "RELAY budgetHeld %lld room %lld parked %d wakeQueued %d clients %d\n",
               static_cast<long long>(s.budgetHeld), static_cast<long long>(budgetRoom()), parked, s.wakeJob.queued,
               s.numClients);
  for (TcpClient* c = s.clients; c; c = c->next) {
    if (c->localAddr.port == lwip_htons(19)) continue;
    struct tcp_pcb* pcb = c->pcb;
    std::fprintf(stderr,
                 "RELAY c win %d bufUsed %d sending %d eof %d shut %d downHeld %lld want %d parked %d rbUsed %d "
                 "rbSent %d pending %d waiting %d up %d sclosed %d cclosed %d sendJobQ %d",
                 c->window, c->bufUsed, c->socksSending, c->clientEof, c->socksShutDown,
                 static_cast<long long>(c->downHeld), c->socksRecvWant, c->parked, c->socksRecvBufUsed,
                 c->socksRecvBufSent, c->socksRecvTcpPending, c->socksRecvWaiting, c->socksUp, c->socksClosed,
                 c->clientClosed, c->sendJob.queued);
    if (pcb)
      std::fprintf(stderr,
                   " | st %d rcv_wnd %u ann %u snd_wnd %u snd_buf %u qlen %u unsent %d unacked %d nrtx %d rto %d "
                   "persist %d refused %d",
                   pcb->state, static_cast<unsigned>(pcb->rcv_wnd), static_cast<unsigned>(pcb->rcv_ann_wnd),
                   static_cast<unsigned>(pcb->snd_wnd), static_cast<unsigned>(pcb->snd_buf),
                   static_cast<unsigned>(pcb->snd_queuelen), pcb->unsent != nullptr, pcb->unacked != nullptr, pcb->nrtx,
                   pcb->rto, pcb->persist_backoff, pcb->refused_data != nullptr);
    std::fprintf(stderr, "\n");
  }
}

void relay_free() { ReactorJob_Free(&tunnelState().wakeJob); }

void relay_free_all_clients() {
  TunnelState& s = tunnelState();
  while (TcpClient* client = s.clients) {
    if (!client->clientClosed) {
      removeCallbacks(client->pcb);
      tcp_abort(client->pcb);
    }
    if (!client->socksClosed) BSocksClient_Free(&client->socksClient);
    client_dealloc(client);
  }
}

}  // namespace vantor::tunnel
