// Asynchronous interfaces between tunnel modules. The side that provides an
// interface (the receiver of packets, the connection that sends bytes, ...)
// initialises it with its operation; the side that uses it installs a done
// handler and starts operations. Every done call reaches the user through a
// reactor job, never from inside the call that started the operation.
#pragma once

#include <cstdint>

#include "tunnel/base/reactor.h"

namespace vantor::tunnel {

// Receiver side of a packet flow: send(data, len) with len <= mtu; the
// provider calls PacketSink_Done once; no second send before that.
struct PacketSink {
  int mtu = 0;
  void (*sendOp)(void* provider, const uint8_t* data, int len) = nullptr;
  void* provider = nullptr;
  void (*doneHandler)(void* user) = nullptr;
  void* user = nullptr;
  bool busy = false;
  ReactorJob doneJob;
};
void PacketSink_Init(PacketSink* s, BReactor* r, int mtu, void (*sendOp)(void* provider, const uint8_t* data, int len),
                     void* provider);
void PacketSink_Free(PacketSink* s);
void PacketSink_SetDone(PacketSink* s, void (*handler)(void* user), void* user);
void PacketSink_Send(PacketSink* s, const uint8_t* data, int len);
void PacketSink_Done(PacketSink* s);

// Source of packets: recv(buffer of mtu bytes); the provider later reports
// the packet length with PacketSource_Done.
struct PacketSource {
  int mtu = 0;
  void (*recvOp)(void* provider, uint8_t* buffer) = nullptr;
  void* provider = nullptr;
  void (*doneHandler)(void* user, int len) = nullptr;
  void* user = nullptr;
  bool busy = false;
  int doneLen = 0;
  ReactorJob doneJob;
};
void PacketSource_Init(PacketSource* s, BReactor* r, int mtu, void (*recvOp)(void* provider, uint8_t* buffer),
                       void* provider);
void PacketSource_Free(PacketSource* s);
void PacketSource_SetDone(PacketSource* s, void (*handler)(void* user, int len), void* user);
void PacketSource_Recv(PacketSource* s, uint8_t* buffer);
void PacketSource_Done(PacketSource* s, int len);

// Byte stream towards a peer: send(data, len >= 1); done(n) with
// 1 <= n <= len; the rest must be offered again.
struct StreamSender {
  void (*sendOp)(void* provider, const uint8_t* data, int len) = nullptr;
  void* provider = nullptr;
  void (*doneHandler)(void* user, int n) = nullptr;
  void* user = nullptr;
  bool busy = false;
  int doneLen = 0;
  ReactorJob doneJob;
};
void StreamSender_Init(StreamSender* s, BReactor* r, void (*sendOp)(void* provider, const uint8_t* data, int len),
                       void* provider);
void StreamSender_Free(StreamSender* s);
void StreamSender_SetDone(StreamSender* s, void (*handler)(void* user, int n), void* user);
void StreamSender_Send(StreamSender* s, const uint8_t* data, int len);
void StreamSender_Done(StreamSender* s, int n);

// Byte stream from a peer: recv(buffer, avail >= 1); done(n) with 1 <= n <= avail.
struct StreamReceiver {
  void (*recvOp)(void* provider, uint8_t* buffer, int avail) = nullptr;
  void* provider = nullptr;
  void (*doneHandler)(void* user, int n) = nullptr;
  void* user = nullptr;
  bool busy = false;
  int doneLen = 0;
  ReactorJob doneJob;
};
void StreamReceiver_Init(StreamReceiver* s, BReactor* r, void (*recvOp)(void* provider, uint8_t* buffer, int avail),
                         void* provider);
void StreamReceiver_Free(StreamReceiver* s);
void StreamReceiver_SetDone(StreamReceiver* s, void (*handler)(void* user, int n), void* user);
void StreamReceiver_Recv(StreamReceiver* s, uint8_t* buffer, int avail);
void StreamReceiver_Done(StreamReceiver* s, int n);

}  // namespace vantor::tunnel
