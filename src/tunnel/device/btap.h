// BTap: the tunnel's packet device, a Linux TUN interface (no packet
// information header). Every read yields one whole IP packet that the host
// routed into the interface; every write hands one whole IP packet to the
// host.
//
// The device is named by a text of five ":"-separated fields: driver id,
// interface name, local IPv4 address, remote IPv4 network, remote netmask,
// e.g. "tun:vantor0:10.198.75.60:10.198.75.0:255.255.255.0". Fields one to
// four end at the next ":"; the fifth is the rest of the text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tunnel/base/flow.h"
#include "tunnel/base/reactor.h"

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
};

bool BTap_Init(BTap* tap, BReactor* reactor, const char* deviceText, void (*errorHandler)(void* user),
               void* user);
void BTap_Free(BTap* tap);
int BTap_GetMTU(const BTap* tap);
PacketSource* BTap_GetOutput(BTap* tap);
// Writes one packet (len <= frame MTU) and returns once the device took it.
// Packets shorter than 14 bytes are not written. Write failures lose the
// packet and are only logged.
void BTap_Send(BTap* tap, const uint8_t* data, int len);

}  // namespace vantor::tunnel
