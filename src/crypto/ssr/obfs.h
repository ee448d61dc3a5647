// The ShadowsocksR plugin interface. A protocol plugin frames plaintext before
// the cipher and unframes it after; an obfs plugin disguises ciphertext on the
// wire and removes the disguise from what arrives. Both kinds are CObfs.
//
// Buffers: every data operation gets a reference to the caller's buffer
// pointer, a block of the service heap (platform/heap.h). An operation that
// produces different bytes allocates a new zero-filled block, frees the
// caller's and stores the new pointer in the reference; the output length
// goes to the length out-parameter. A false result means the data is invalid
// and the connection must be closed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/ssr/auth_data.h"
#include "crypto/ssr/ssr_helpers.h"

namespace vantor {

// The connection as the plugins see it. One per plugin object.
struct ServerInfo {
  static constexpr int kMaxIvKeyLength = 32;

  std::string host;  // the node's server as stored (name or dotted address)
  uint16_t port = 0;
  std::string param;  // the node's obfs parameter, given to both plugins
  CAuthData* authData = nullptr;
  uint8_t iv[kMaxIvKeyLength] = {};  // the cipher's send IV
  int ivLen = 0;
  uint8_t recvIv[kMaxIvKeyLength] = {};  // the peer's IV; no caller fills it
  int recvIvLen = 0;
  uint8_t key[kMaxIvKeyLength] = {};  // the cipher's derived key
  int keyLen = 0;
  uint16_t tcpMss = 1452;
  int headLen = 30;       // SOCKS address header length of the first plaintext
  uint16_t overhead = 0;  // bytes the plugins add per packet
  int bufferSize = 0;
};

class CObfs {
 public:
  virtual ~CObfs() = default;
  CObfs(const CObfs&) = delete;
  CObfs& operator=(const CObfs&) = delete;

  // The table name this plugin was created under.
  virtual const std::string& GetName() const { return name; }
  // The process-wide client identity; the same object for every plugin.
  virtual CAuthData* GetAuthData() { return GetProcessAuthData(); }
  // True for the authenticating protocols only. Nothing relies on them yet.
  virtual bool QueryFlag1() const { return false; }
  virtual bool QueryFlag2() const { return false; }

  // Called with the cipher's fresh IV and key when a connection or UDP flow
  // starts over. Zeroes `overhead` and copies a non-empty IV and key into
  // serverInfo; subclasses also return all per-connection state to how it is
  // after construction (setting their own overhead again). Called with empty
  // arguments it only releases state.
  virtual void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen);
  virtual void Dispose() {}

  // Default transforms pass the bytes through: the buffer stays as it is and
  // the output length is the input length.
  virtual bool ClientPreEncrypt(uint8_t*& buffer, int length, int& outLength);
  // `capacity` is informational. An output length of 0 means nothing is to be
  // sent now.
  virtual bool ClientEncode(uint8_t*& buffer, int length, int capacity, int& outLength);
  // Sets needSendBack when the caller must at once send the result of an
  // empty ClientEncode, else clears it. An output length of 0 means nothing is ready.
  virtual bool ClientDecode(uint8_t*& buffer, int length, int capacity, int& outLength, bool& needSendBack);
  // May keep partial frames and report 0 bytes.
  virtual bool ClientPostDecrypt(uint8_t*& buffer, int length, int& outLength);
  virtual bool ClientUdpPreEncrypt(uint8_t*& buffer, int length, int& outLength);
  virtual bool ClientUdpPostDecrypt(uint8_t*& buffer, int length, int& outLength);

  // Stores every field. IV and key are copied with their lengths (capped at
  // 32 bytes); the receive IV only when one is given. Subclasses that derive
  // tables from the key override this and call it first.
  virtual void SetServerInfo(const std::string& host, uint16_t port, const std::string& param, CAuthData* authData,
                             const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen, const uint8_t* recvIv,
                             int recvIvLen, uint16_t tcpMss, int headLen, uint16_t overhead, int bufferSize);
  virtual void CopyServerInfo(const ServerInfo& info);

  // The bytes this plugin adds per packet; the session sums the obfs and the
  // protocol figure into the protocol's serverInfo.overhead.
  int GetOverhead() const { return overhead; }
  const std::string& GetParam() const { return param; }
  uint32_t GetInstanceNumber() const { return instanceNumber; }
  const ServerInfo& GetServerInfo() const { return serverInfo; }
  // The session sets this from the target's address type before the first data.
  void SetHeadLen(int headLen) { serverInfo.headLen = headLen; }

 protected:
  // `name` is the table name; `param` the node's protocol parameter for
  // protocols and obfs parameter for obfs plugins.
  CObfs(std::string_view name, std::string param);

  // Frees the caller's block and hands it `fresh`; for transforms that build
  // their output in a new block.
  static void ReplaceBuffer(uint8_t*& buffer, uint8_t* fresh);

  uint32_t instanceNumber;
  std::string name;
  std::string param;
  int overhead = 0;
  ServerInfo serverInfo;
};

// Base of the obfs plugins.
class CObfsBase : public CObfs {
 public:
  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;

 protected:
  using CObfs::CObfs;
};

// Base of the authenticating protocols: a header-sent flag and a receive
// buffer for partial frames, both per connection.
class CProtocolAuth : public CObfsBase {
 public:
  static constexpr int kOverhead = 9;

  ~CProtocolAuth() override;

  bool QueryFlag1() const override { return true; }
  bool QueryFlag2() const override { return true; }
  // Also drops the receive buffer and clears the flag; overhead back to 9.
  void UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) override;

  // Padding length for a packet of `length` bytes, for the protocols that
  // draw it from a per-connection generator keyed by the previous packet's
  // hash (16 bytes).
  virtual int RandomDataLength(int length, XorShift128Plus& random, const uint8_t* lastHash) = 0;

 protected:
  CProtocolAuth(std::string_view name, std::string param);

  // Releases this class's state; each subclass's destructor releases its own,
  // since a virtual call from a destructor reaches only the class being
  // destroyed.
  void resetAuthState();

  int headerSent = 0;
  uint8_t* recvBuffer = nullptr;  // service heap block or null
  int recvBufferLength = 0;
};

}  // namespace vantor
