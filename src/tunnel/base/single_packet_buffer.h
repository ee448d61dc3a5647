// Moves packets one at a time from a PacketSource into a PacketSink through
// one buffer of the source's MTU: the next packet is asked for only after
// the sink reported the previous one done.
#pragma once

#include <cstdint>

#include "tunnel/base/flow.h"

namespace vantor::tunnel {

struct SinglePacketBuffer {
  PacketSource* input = nullptr;
  PacketSink* output = nullptr;
  uint8_t* buffer = nullptr;
};

// Allocates the buffer and asks the source for the first packet at once.
bool SinglePacketBuffer_Init(SinglePacketBuffer* b, PacketSource* input, PacketSink* output);
void SinglePacketBuffer_Free(SinglePacketBuffer* b);

}  // namespace vantor::tunnel
