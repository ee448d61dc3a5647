// Length-prefixed framing of a byte stream: each message is a 2-byte
// little-endian length followed by that many bytes.
//
// PacketProtoDecoder reads a StreamReceiver into one buffer and hands every
// complete message to its handler, in order. The handler takes the message
// at once (the bytes are only valid during the call) and must not free the
// decoder; the error handler is the decoder's last action and may free it.
#pragma once

#include <cstdint>
#include <vector>

#include "tunnel/base/flow.h"
#include "tunnel/udpgw/udpgw_proto.h"

namespace vantor::tunnel {

// Writes the 2-byte length header for a payload of `len` bytes (<= 65535).
inline void PacketProto_WriteHeader(uint8_t* out, int len) { platform::writeLe16(out, static_cast<uint16_t>(len)); }

struct PacketProtoDecoder {
  StreamReceiver* input = nullptr;
  int maxMessage = 0;
  std::vector<uint8_t> buf;  // maxMessage + 2 bytes
  int used = 0;
  void (*handler)(void* user, const uint8_t* data, int len) = nullptr;
  void (*errorHandler)(void* user) = nullptr;
  void* user = nullptr;
};

// Starts reading at once. Messages longer than `maxMessage` (at most
// 65535) are a stream error: the buffer is discarded and the error handler
// runs.
bool PacketProtoDecoder_Init(PacketProtoDecoder* d, StreamReceiver* input, int maxMessage,
                             void (*handler)(void* user, const uint8_t* data, int len),
                             void (*errorHandler)(void* user), void* user);
void PacketProtoDecoder_Free(PacketProtoDecoder* d);

}  // namespace vantor::tunnel
