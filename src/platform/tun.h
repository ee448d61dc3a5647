// Point-to-point IP packet devices (a Linux TUN interface without packet
// information header) and the interface settings the tunnel needs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/poller.h"

namespace vantor::platform {

// I/O results besides a byte count.
inline constexpr long kTunWouldBlock = -2;
inline constexpr long kTunError = -1;

// What travels beside each packet of a device opened with segmentation
// offload. A TCP super-packet carries several segments' payload behind one
// IP and TCP header (`headerLength` bytes); it stands for segments of
// `segmentSize` payload bytes each (the last may be shorter). A packet whose
// transport checksum was left to the receiver has kNeedsChecksum: its
// checksum field holds only the pseudo-header sum, and the sum of the bytes
// from `checksumStart` on completes it at `checksumStart + checksumOffset`.
struct TunPacketInfo {
  enum Flags : uint8_t { kNeedsChecksum = 1, kChecksumValid = 2 };
  enum Gso : uint8_t { kGsoNone = 0, kGsoTcpV4 = 1, kGsoOther = 0xFF };
  uint8_t flags = 0;
  uint8_t gso = kGsoNone;
  uint16_t headerLength = 0;
  uint16_t segmentSize = 0;
  uint16_t checksumStart = 0;
  uint16_t checksumOffset = 0;
};

// Attaches to the packet device `name`, creating a non-persistent one when no
// interface of that name exists. Non-blocking. On failure returns
// kInvalidIoHandle with the reason in `error`.
IoHandle tunOpen(const std::string& name, std::string& error);
// The same, asking (with `offload`) for TCP segmentation and checksum
// offload: the device then hands over and takes IPv4 TCP super-packets of up
// to 64 KiB and leaves checksums to us where it can. `offloadOn` tells
// whether the device agreed; when it did not, the handle is a plain one.
IoHandle tunOpen(const std::string& name, bool offload, bool& offloadOn, std::string& error);
void tunClose(IoHandle handle);
// A descriptor of the device `name` that another process (the privileged
// helper) opened for us: the next tunOpen of that name takes it instead of
// opening the device itself, which would need the right to.
void tunProvideHandle(const std::string& name, IoHandle handle, bool offloadOn);
// One whole packet per call.
long tunRead(IoHandle handle, void* buffer, std::size_t size);
long tunWrite(IoHandle handle, const void* packet, std::size_t length);
// One whole packet with its offload information, on a handle opened with
// offload on.
long tunReadOffload(IoHandle handle, TunPacketInfo& info, void* buffer, std::size_t size);
long tunWriteOffload(IoHandle handle, const TunPacketInfo& info, const void* packet, std::size_t length);
// The system's error text of the last failed call on this thread.
std::string lastErrorText();

// Interface management (all by interface name).
bool interfaceExists(const std::string& name);
// Creates a persistent TUN interface that outlives this process's handles.
bool tunCreatePersistent(const std::string& name, std::string& error);
// Removes a persistent TUN interface created by tunCreatePersistent.
bool tunDeletePersistent(const std::string& name, std::string& error);
bool interfaceMtu(const std::string& name, int& mtu);
bool setInterfaceUp(const std::string& name, bool up, std::string& error);
bool interfaceIsUp(const std::string& name);
// Adds or removes exactly one IPv4 address (network byte order) with its
// prefix length on the interface.
bool addInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error);
bool removeInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error);
bool interfaceHasAddress(const std::string& name, uint32_t address);
// The same for one IPv6 address (16 bytes, network order), added without
// duplicate address detection (a TUN link has no neighbours).
bool addInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error);
bool removeInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error);
bool interfaceHasAddress6(const std::string& name, const uint8_t address[16]);

}  // namespace vantor::platform
