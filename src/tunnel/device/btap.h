// BTap: the tunnel's packet device, a Linux TUN interface. Every packet the
// device source yields is one whole IP packet that the host routed into the
// interface; every packet sent is one whole IP packet for the host.
//
// With segmentation offload (when the device offers it) far fewer system
// calls carry the same traffic: a read may bring a TCP super-packet, which
// is cut here into the segments it stands for (or handed over whole, as one
// long segment), and the stack's segments are glued into super-packets and
// written when the reactor has nothing else to do. Without it, every read
// and write moves one packet. Writes never wait: a packet the device does
// not take at once is dropped, as on a full link.
//
// The device is named by a text of five ":"-separated fields: driver id,
// interface name, local IPv4 address, remote IPv4 network, remote netmask,
// e.g. "tun:vantor0:10.198.75.60:10.198.75.0:255.255.255.0". Fields one to
// four end at the next ":"; the fifth is the rest of the text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tunnel/base/flow.h"
#include "tunnel/base/reactor.h"
#include "tunnel/device/tun_offload.h"

namespace vantor::tunnel {

// The driver id of Linux TUN interfaces.
inline constexpr const char* kTunDriverId = "tun";

struct BTapDeviceFields {
  std::string driverId;
  std::string interfaceName;
  uint32_t localAddress = 0;   // network byte order
  uint32_t remoteNetwork = 0;  // network byte order
  uint32_t remoteMask = 0;     // network byte order
};

// Splits and parses the device text. Separator failures are reported on
// `errStream` as in "split_spec: missing separator number 4".
bool BTap_ParseDeviceText(const char* text, BTapDeviceFields* out, std::FILE* errStream);
// Exactly four "."-separated components of 1 to 3 decimal digits, each <= 255.
bool BTap_ParseDottedQuad(const std::string& text, uint32_t* out);

struct BTap {
  BReactor* reactor = nullptr;
  platform::IoHandle handle = platform::kInvalidIoHandle;
  int frameMtu = 0;
  BTapDeviceFields fields;
  PacketSource output;
  uint8_t* readBuffer = nullptr;  // the read in progress, or null
  bool readWaiting = false;       // the read waits for the device to become readable
  CompletionSlot readSlot;
  CompletionSlot writeSlot;
  ReactorIo io;
  void (*errorHandler)(void* user) = nullptr;
  void* errorUser = nullptr;

  bool offload = false;
  bool wholeSuperPackets = false;    // offload: TCP super-packets are handed over uncut
  std::vector<uint8_t> superPacket;  // offload, cutting: the last packet read, up to 64 KiB
  TunSegmenter segmenter;
  bool segmenting = false;  // segments of `superPacket` remain to be handed out
  TunMerger merger;         // offload: the packet waiting to be written
  ReactorJob flushJob;      // writes it once the reactor is idle

  // counters (diagnostics and tests)
  uint64_t packetsRead = 0;     // device reads that returned a packet
  uint64_t packetsWritten = 0;  // device writes
  uint64_t readsDropped = 0;    // malformed or corrupt packets read
  uint64_t writesDropped = 0;   // packets the device did not take
};

// Opens the device; `offload` asks for segmentation offload, which the
// device may refuse (BTap_OffloadOn tells). With `wholeSuperPackets` and
// offload on, a TCP super-packet is not cut: the source hands it over as
// one long segment (up to 65535 bytes, its output's MTU).
bool BTap_Init(BTap* tap, BReactor* reactor, const char* deviceText, void (*errorHandler)(void* user), void* user,
               bool offload = false, bool wholeSuperPackets = false);
// The same over a handle that is already open (and is closed by BTap_Free):
// a device whose offload state and frame MTU the caller knows.
bool BTap_InitHandle(BTap* tap, BReactor* reactor, platform::IoHandle handle, int frameMtu, bool offload,
                     void (*errorHandler)(void* user), void* user, bool wholeSuperPackets = false);
void BTap_Free(BTap* tap);
int BTap_GetMTU(const BTap* tap);
bool BTap_OffloadOn(const BTap* tap);
// The longest packet BTap_Send takes: the frame MTU, or with offload 65535
// bytes (an IPv4 TCP segment longer than a frame leaves as a super-packet
// that the host cuts into segments of BTap_TcpSegmentLimit payload bytes).
int BTap_MaxSendLength(const BTap* tap);
// With offload, the payload of one IPv4 TCP segment that fills a frame;
// without, 0 (no segment may be longer than a frame).
int BTap_TcpSegmentLimit(const BTap* tap);
PacketSource* BTap_GetOutput(BTap* tap);
// Hands one packet (len <= BTap_MaxSendLength) to the device without
// waiting: at once, or with offload when the reactor is next idle, joined to
// the packets sent before it where it can be. Packets shorter than 14 bytes
// are not written. Write failures lose the packet and are only logged.
void BTap_Send(BTap* tap, const uint8_t* data, int len);

}  // namespace vantor::tunnel
