#include "tunnel/udpgw/packet_proto.h"

#include <cstring>

#include "tunnel/base/blog.h"

namespace vantor::tunnel {
namespace {

constexpr int kChannel = BLOG_CHANNEL_PacketProtoDecoder;

void startReceive(PacketProtoDecoder* d) {
  StreamReceiver_Recv(d->input, d->buf.data() + d->used, static_cast<int>(d->buf.size()) - d->used);
}

void inputDone(void* user, int n) {
  auto* d = static_cast<PacketProtoDecoder*>(user);
  d->used += n;
  int pos = 0;
  while (d->used - pos >= PACKETPROTO_HEADER_SIZE) {
    int len = platform::readLe16(d->buf.data() + pos);
    if (len > d->maxMessage) {
      BLog_Log(kChannel, BLOG_NOTICE, "error: packet too large");
      d->used = 0;
      d->errorHandler(d->user);  // may free the decoder
      return;
    }
    if (d->used - pos - PACKETPROTO_HEADER_SIZE < len) break;
    d->handler(d->user, d->buf.data() + pos + PACKETPROTO_HEADER_SIZE, len);
    pos += PACKETPROTO_HEADER_SIZE + len;
  }
  // Keep the partial message at the start of the buffer; the buffer always
  // has room for the rest of it.
  if (pos > 0) {
    std::memmove(d->buf.data(), d->buf.data() + pos, static_cast<std::size_t>(d->used - pos));
    d->used -= pos;
  }
  startReceive(d);
}

}  // namespace

bool PacketProtoDecoder_Init(PacketProtoDecoder* d, StreamReceiver* input, int maxMessage,
                             void (*handler)(void*, const uint8_t*, int), void (*errorHandler)(void*), void* user) {
  if (maxMessage < 0 || maxMessage > PACKETPROTO_MAXPAYLOAD) return false;
  d->input = input;
  d->maxMessage = maxMessage;
  d->buf.assign(static_cast<std::size_t>(maxMessage) + PACKETPROTO_HEADER_SIZE, 0);
  d->used = 0;
  d->handler = handler;
  d->errorHandler = errorHandler;
  d->user = user;
  StreamReceiver_SetDone(input, inputDone, d);
  startReceive(d);
  return true;
}

void PacketProtoDecoder_Free(PacketProtoDecoder* d) {
  std::vector<uint8_t>().swap(d->buf);
  d->input = nullptr;
}

}  // namespace vantor::tunnel
