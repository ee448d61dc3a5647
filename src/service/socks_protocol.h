// The SOCKS 5 (RFC 1928, RFC 1929) and SOCKS 4/4a wire vocabulary, shared by
// the local service (server side towards its clients, client side towards
// SOCKS nodes) and the packet tunnel (client side towards the service).
#pragma once

#include <cstdint>

namespace vantor::socks {

inline constexpr uint8_t kVersion5 = 5;
inline constexpr uint8_t kVersion4 = 4;

inline constexpr uint8_t kCmdConnect = 1;
inline constexpr uint8_t kCmdBind = 2;
inline constexpr uint8_t kCmdUdpAssociate = 3;

inline constexpr uint8_t kAtypIpv4 = 1;
inline constexpr uint8_t kAtypDomain = 3;
inline constexpr uint8_t kAtypIpv6 = 4;

inline constexpr uint8_t kMethodNone = 0x00;
inline constexpr uint8_t kMethodUserPass = 0x02;
inline constexpr uint8_t kMethodRefused = 0xFF;

// User name/password sub-negotiation: its version byte and its success status.
inline constexpr uint8_t kLoginVersion = 1;
inline constexpr uint8_t kLoginSuccess = 0;

inline constexpr uint8_t kRepSuccess = 0x00;
inline constexpr uint8_t kRepFailure = 0x01;
inline constexpr uint8_t kRepCommandNotSupported = 0x07;
inline constexpr uint8_t kRepAddressNotSupported = 0x08;

inline constexpr uint8_t kSocks4Granted = 0x5A;
inline constexpr uint8_t kSocks4Rejected = 0x5B;
inline constexpr uint8_t kSocks4Failed = 0x5C;

}  // namespace vantor::socks
