#include "crypto/ssr/obfs.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "platform/heap.h"

namespace vantor {
namespace {

std::atomic<uint32_t> g_instanceCounter{0};

// Lengths come from the cipher and the caller; anything outside 0..32 would
// run past the fixed fields, so it is capped.
int clampIvKeyLength(int n) { return std::clamp(n, 0, ServerInfo::kMaxIvKeyLength); }

void copyField(uint8_t* dst, int& dstLen, const uint8_t* src, int srcLen) {
  const int n = src ? clampIvKeyLength(srcLen) : 0;
  if (n > 0) std::memmove(dst, src, n);  // src may be this very field (CopyServerInfo of our own record)
  dstLen = n;
}

}  // namespace

CObfs::CObfs(std::string_view tableName, std::string parameter)
    : instanceNumber(g_instanceCounter.fetch_add(1, std::memory_order_relaxed) + 1),
      name(tableName),
      param(std::move(parameter)) {}

void CObfs::ReplaceBuffer(uint8_t*& buffer, uint8_t* fresh) {
  if (buffer != fresh) platform::heapFree(buffer);
  buffer = fresh;
}

void CObfs::UpdateIvKey(const uint8_t* newIv, int newIvLen, const uint8_t* newKey, int newKeyLen) {
  overhead = 0;
  if (newIv && newIvLen > 0) copyField(serverInfo.iv, serverInfo.ivLen, newIv, newIvLen);
  if (newKey && newKeyLen > 0) copyField(serverInfo.key, serverInfo.keyLen, newKey, newKeyLen);
}

bool CObfs::ClientPreEncrypt(uint8_t*&, int length, int& outLength) {
  outLength = length;
  return true;
}

bool CObfs::ClientEncode(uint8_t*&, int length, int, int& outLength) {
  outLength = length;
  return true;
}

bool CObfs::ClientDecode(uint8_t*&, int length, int, int& outLength, bool& needSendBack) {
  needSendBack = false;
  outLength = length;
  return true;
}

bool CObfs::ClientPostDecrypt(uint8_t*&, int length, int& outLength) {
  outLength = length;
  return true;
}

bool CObfs::ClientUdpPreEncrypt(uint8_t*&, int length, int& outLength) {
  outLength = length;
  return true;
}

bool CObfs::ClientUdpPostDecrypt(uint8_t*&, int length, int& outLength) {
  outLength = length;
  return true;
}

void CObfs::SetServerInfo(const std::string& host, uint16_t port, const std::string& nodeParam, CAuthData* authData,
                          const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen, const uint8_t* recvIv,
                          int recvIvLen, uint16_t tcpMss, int headLen, uint16_t infoOverhead, int bufferSize) {
  serverInfo.host = host;
  serverInfo.port = port;
  serverInfo.param = nodeParam;
  serverInfo.authData = authData;
  copyField(serverInfo.iv, serverInfo.ivLen, iv, ivLen);
  copyField(serverInfo.key, serverInfo.keyLen, key, keyLen);
  if (recvIv && recvIvLen > 0) copyField(serverInfo.recvIv, serverInfo.recvIvLen, recvIv, recvIvLen);
  serverInfo.tcpMss = tcpMss;
  serverInfo.headLen = headLen;
  serverInfo.overhead = infoOverhead;
  serverInfo.bufferSize = bufferSize;
}

void CObfs::CopyServerInfo(const ServerInfo& info) {
  SetServerInfo(info.host, info.port, info.param, info.authData, info.iv, info.ivLen, info.key, info.keyLen,
                info.recvIv, info.recvIvLen, info.tcpMss, info.headLen, info.overhead, info.bufferSize);
}

void CObfsBase::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CObfs::UpdateIvKey(iv, ivLen, key, keyLen);
}

CProtocolAuth::CProtocolAuth(std::string_view tableName, std::string parameter)
    : CObfsBase(tableName, std::move(parameter)) {
  overhead = kOverhead;
}

CProtocolAuth::~CProtocolAuth() { resetAuthState(); }

void CProtocolAuth::resetAuthState() {
  platform::heapFree(recvBuffer);
  recvBuffer = nullptr;
  recvBufferLength = 0;
  headerSent = 0;
}

void CProtocolAuth::UpdateIvKey(const uint8_t* iv, int ivLen, const uint8_t* key, int keyLen) {
  CObfsBase::UpdateIvKey(iv, ivLen, key, keyLen);
  resetAuthState();
  overhead = kOverhead;
}

}  // namespace vantor
