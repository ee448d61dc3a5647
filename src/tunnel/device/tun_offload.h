// The packet work that segmentation offload leaves to us: cutting the TCP
// super-packets the device hands over into the segments they stand for,
// readying single packets whose checksums the sender left open, and gluing
// the stack's outgoing segments back into super-packets for the device.
//
// Checksums: with offload on, the stack neither checks nor computes TCP
// checksums. Every TCP packet leaves this layer towards the stack with its
// checksum either verified here or vouched for by the device (a packet the
// host built in memory), and towards the device with only the pseudo-header
// sum in its checksum field, for the receiving kernel to complete.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/tun.h"

namespace vantor::tunnel {

using platform::TunPacketInfo;

// The headers of an IPv4 TCP packet, checked for consistency (lengths
// within the packet; checksums not looked at).
struct TcpV4View {
  int ipHeaderLength = 0;
  int tcpHeaderLength = 0;
  int payloadLength = 0;  // from the IP total length
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;
  uint16_t window = 0;
};
enum : uint8_t {
  TCP_FLAG_FIN = 0x01,
  TCP_FLAG_SYN = 0x02,
  TCP_FLAG_RST = 0x04,
  TCP_FLAG_PSH = 0x08,
  TCP_FLAG_ACK = 0x10,
  TCP_FLAG_URG = 0x20,
  TCP_FLAG_ECE = 0x40,
  TCP_FLAG_CWR = 0x80
};
bool TcpV4_Parse(const uint8_t* packet, int len, TcpV4View* out);

// Cuts one IPv4 TCP super-packet into segments of the announced size. Each
// segment carries the super-packet's headers with its own IP total length,
// identification (one up per segment), header checksum and sequence number;
// CWR stays on the first segment only, FIN and PSH on the last only. Its TCP
// checksum field holds the segment's pseudo-header sum (to be completed over
// the TCP header and payload).
struct TunSegmenter {
  const uint8_t* packet = nullptr;
  int headerLength = 0;  // IP + TCP
  int ipHeaderLength = 0;
  int payloadLength = 0;
  int segmentSize = 0;
  int offset = 0;  // payload bytes already cut
  int index = 0;
};
// False for anything but a consistent IPv4 TCP super-packet whose segments
// fit `maxSegment` bytes each, and for one whose data fails its checksum
// (checked only when neither the device vouched for it nor it needs one).
bool TunSegmenter_Init(TunSegmenter* s, const uint8_t* packet, int len, const TunPacketInfo& info, int maxSegment);
// The length of the next segment, 0 once every segment was taken.
int TunSegmenter_NextLength(const TunSegmenter* s);
// Writes the next segment into `out` (room for NextLength bytes); returns its length.
int TunSegmenter_Next(TunSegmenter* s, uint8_t* out);

// Readies an IPv4 TCP super-packet to be taken whole, as one long segment
// (the way a receiver that joins segments sees them): the same checks as
// TunSegmenter_Init except the frame size, and its IP header checksum made
// right. Returns the packet's length (its IP total length), or -1 when it
// must be dropped.
int TunOffload_PrepareSuperPacket(uint8_t* packet, int len, const TunPacketInfo& info);

// Readies a single packet read with offload information for the stack:
// a TCP packet whose checksum nobody vouched for is checked here; any other
// packet whose checksum the sender left open gets it completed. False: the
// packet is malformed or corrupt and must be dropped.
bool TunOffload_PrepareInput(uint8_t* packet, int len, const TunPacketInfo& info);

// The packet waiting to be written to the device. Consecutive segments of
// one TCP connection join it as long as they continue its byte stream with
// full-sized segments (the last may be short); a bare acknowledgement in it
// gives way to a later packet of the same connection that acknowledges more
// or moves the window. Anything else must wait for the next write.
//
// The wire's segment size is the first packet's payload, or `maxSegment`
// when that is smaller: a packet larger than a wire segment (the stack may
// send those when the device cuts them up) leaves as a super-packet even
// alone, and further packets join it while the payload so far fills whole
// wire segments.
struct TunMerger {
  std::vector<uint8_t> buf;  // the pending packet, `capacity` bytes
  int length = 0;            // 0: nothing pending
  int maxSegment = 0;        // the largest payload of one segment on the wire; 0: no limit
  bool tcp = false;
  TcpV4View first;  // the pending packet's headers
  int segments = 0;
  int segmentSize = 0;  // of the wire segments the pending packet stands for
  int payload = 0;      // the pending packet's payload so far
  bool ended = false;   // its stream ended (FIN): nothing joins after it
  uint32_t nextSeq = 0;
};
void TunMerger_Init(TunMerger* m, int capacity, int maxSegment = 0);
// Starts a pending packet (none may be pending). False when `len` exceeds
// the capacity: the packet cannot be sent.
bool TunMerger_Start(TunMerger* m, const uint8_t* packet, int len);
// Adds the packet to the pending one when it can join or replace it.
bool TunMerger_TryAdd(TunMerger* m, const uint8_t* packet, int len);
// Completes the pending packet (lengths, header checksum, pseudo-header sum)
// and describes it for the device; it stays pending until Clear.
const uint8_t* TunMerger_Finish(TunMerger* m, TunPacketInfo* info, int* len);
void TunMerger_Clear(TunMerger* m);

}  // namespace vantor::tunnel
