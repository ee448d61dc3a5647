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

// Attaches to the packet device `name`, creating a non-persistent one when no
// interface of that name exists. Non-blocking. On failure returns
// kInvalidIoHandle with the reason in `error`.
IoHandle tunOpen(const std::string& name, std::string& error);
void tunClose(IoHandle handle);
// One whole packet per call.
long tunRead(IoHandle handle, void* buffer, std::size_t size);
long tunWrite(IoHandle handle, const void* packet, std::size_t length);
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
bool addInterfaceAddress(const std::string& name, uint32_t address, int prefixLength,
                         std::string& error);
bool removeInterfaceAddress(const std::string& name, uint32_t address, int prefixLength,
                            std::string& error);
bool interfaceHasAddress(const std::string& name, uint32_t address);

}  // namespace vantor::platform
