#include "tunnel/base/single_packet_buffer.h"

#include <new>

namespace vantor::tunnel {
namespace {

void inputDone(void* user, int len) {
  auto* b = static_cast<SinglePacketBuffer*>(user);
  PacketSink_Send(b->output, b->buffer, len);
}

void outputDone(void* user) {
  auto* b = static_cast<SinglePacketBuffer*>(user);
  PacketSource_Recv(b->input, b->buffer);
}

}  // namespace

bool SinglePacketBuffer_Init(SinglePacketBuffer* b, PacketSource* input, PacketSink* output) {
  if (output->mtu < input->mtu) return false;
  b->input = input;
  b->output = output;
  b->buffer = new (std::nothrow) uint8_t[static_cast<std::size_t>(input->mtu > 0 ? input->mtu : 1)];
  if (!b->buffer) return false;
  PacketSource_SetDone(input, inputDone, b);
  PacketSink_SetDone(output, outputDone, b);
  PacketSource_Recv(input, b->buffer);
  return true;
}

void SinglePacketBuffer_Free(SinglePacketBuffer* b) {
  delete[] b->buffer;
  b->buffer = nullptr;
}

}  // namespace vantor::tunnel
