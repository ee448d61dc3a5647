#include "crypto/stream_cryptors.h"

#include <sodium.h>

#include <cryptopp/md5.h>

#include <algorithm>
#include <cstring>

#include "platform/heap.h"

namespace vantor {
namespace {

bool ValidInput(const uint8_t* input, int length) { return length >= 0 && (length == 0 || input); }

// Allocates `length` zero-filled bytes from the service heap; a zero length
// yields no buffer at all.
bool AllocOutput(std::size_t length, uint8_t*& output) {
  output = nullptr;
  if (length == 0) return true;
  output = static_cast<uint8_t*>(platform::heapAlloc(length));
  return output != nullptr;
}

// "none" in either direction: a heap copy of the input.
bool CopyThrough(const uint8_t* input, int length, uint8_t*& output, int& outputLength) {
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  if (!AllocOutput(static_cast<std::size_t>(length), output)) return false;
  if (length > 0) std::memcpy(output, input, static_cast<std::size_t>(length));
  outputLength = length;
  return true;
}

// Keys one direction's Crypto++ cipher at keystream position 0. Crypto++
// rejects a key or IV length it does not take by throwing.
template <class Cipher>
bool KeyCipher(Cipher& cipher, const uint8_t* key, int keyLength, const uint8_t* iv, int ivLength) {
  try {
    cipher.SetKeyWithIV(key, static_cast<std::size_t>(keyLength), iv, static_cast<std::size_t>(ivLength));
    return true;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

}  // namespace

// ---- none ----

CNoneCryptor::CNoneCryptor(const std::string& method, const std::string& password)
    : CCryptor(method, password, 16, 0) {}

bool CNoneCryptor::Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool) {
  if (!CopyThrough(input, length, output, outputLength)) return false;
  m_ivSent = true;
  return true;
}

bool CNoneCryptor::Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
                           bool) {
  needMore = false;
  if (!CopyThrough(input, length, output, outputLength)) return false;
  m_ivReceived = true;
  return true;
}

// ---- common stream flow ----

CStreamCryptor::CStreamCryptor(const std::string& method, const std::string& password, int keyLength, int ivLength)
    : CCryptor(method, password, keyLength, ivLength) {}

void CStreamCryptor::Reset() { CCryptor::Reset(); }

void CStreamCryptor::RenewSendIV() {
  RandomBytes(m_iv, static_cast<std::size_t>(m_ivLength));
  m_ivSent = false;
}

bool CStreamCryptor::Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet) {
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  // A datagram always starts a keystream of its own; reusing an IV that has
  // already keyed other ciphertext would repeat keystream.
  if (packet && m_ivSent) RenewSendIV();
  const bool first = !m_ivSent;
  if (first && !KeySendContext()) return false;
  const std::size_t prefix = first ? static_cast<std::size_t>(m_ivLength) : 0;
  const std::size_t total = prefix + static_cast<std::size_t>(length);
  uint8_t* buffer = nullptr;
  if (!AllocOutput(total, buffer)) return false;
  if (prefix) std::memcpy(buffer, m_iv, prefix);
  if (length > 0 && !ProcessSend(input, buffer + prefix, static_cast<std::size_t>(length))) {
    platform::heapFree(buffer);
    return false;
  }
  m_ivSent = true;
  output = buffer;
  outputLength = static_cast<int>(total);
  return true;
}

bool CStreamCryptor::Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
                             bool packet) {
  needMore = false;
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  std::size_t offset = 0;
  if (packet) {
    // One whole datagram: its own IV, nothing carried over from earlier input.
    if (length < m_ivLength) return false;
    m_ivReceived = false;
    m_recvIvFill = 0;
  }
  if (!m_ivReceived) {
    // The peer's IV may arrive over several reads; gather it here so the
    // caller never has to present the same bytes twice.
    const std::size_t want = static_cast<std::size_t>(m_ivLength - m_recvIvFill);
    const std::size_t take = std::min(want, static_cast<std::size_t>(length));
    if (take) std::memcpy(m_recvIv + m_recvIvFill, input, take);
    m_recvIvFill += static_cast<int>(take);
    offset = take;
    if (m_recvIvFill < m_ivLength) {
      needMore = true;
      return true;
    }
    if (!KeyRecvContext()) return false;
    m_ivReceived = true;
  }
  const std::size_t rest = static_cast<std::size_t>(length) - offset;
  uint8_t* buffer = nullptr;
  if (!AllocOutput(rest, buffer)) return false;
  if (rest && !ProcessRecv(input + offset, buffer, rest)) {
    platform::heapFree(buffer);
    return false;
  }
  output = buffer;
  outputLength = static_cast<int>(rest);
  return true;
}

// ---- Crypto++ block modes and Salsa20 ----

template <class SendCipher, class RecvCipher>
bool CCryptoppStreamCryptor<SendCipher, RecvCipher>::KeySendContext() {
  return KeyCipher(m_send, m_key, m_keyLength, m_iv, m_ivLength);
}

template <class SendCipher, class RecvCipher>
bool CCryptoppStreamCryptor<SendCipher, RecvCipher>::KeyRecvContext() {
  return KeyCipher(m_recv, m_key, m_keyLength, m_recvIv, m_ivLength);
}

template <class SendCipher, class RecvCipher>
bool CCryptoppStreamCryptor<SendCipher, RecvCipher>::ProcessSend(const uint8_t* input, uint8_t* output,
                                                                 std::size_t length) {
  m_send.ProcessData(output, input, length);
  return true;
}

template <class SendCipher, class RecvCipher>
bool CCryptoppStreamCryptor<SendCipher, RecvCipher>::ProcessRecv(const uint8_t* input, uint8_t* output,
                                                                 std::size_t length) {
  m_recv.ProcessData(output, input, length);
  return true;
}

template class CCryptoppStreamCryptor<CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption,
                                      CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption>;
template class CCryptoppStreamCryptor<CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption,
                                      CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption>;
template class CCryptoppStreamCryptor<CryptoPP::CFB_Mode<CryptoPP::Camellia>::Encryption,
                                      CryptoPP::CFB_Mode<CryptoPP::Camellia>::Decryption>;
template class CCryptoppStreamCryptor<CryptoPP::Salsa20::Encryption, CryptoPP::Salsa20::Encryption>;

CAESCfbCryptor::CAESCfbCryptor(const std::string& method, const std::string& password, int keyLength)
    : CCryptoppStreamCryptor(method, password, keyLength, 16) {}

CAESCtrCryptor::CAESCtrCryptor(const std::string& method, const std::string& password, int keyLength)
    : CCryptoppStreamCryptor(method, password, keyLength, 16) {}

CCamelliaCfbCryptor::CCamelliaCfbCryptor(const std::string& method, const std::string& password, int keyLength)
    : CCryptoppStreamCryptor(method, password, keyLength, 16) {}

CSalsa20Criptor::CSalsa20Criptor(const std::string& method, const std::string& password)
    : CCryptoppStreamCryptor(method, password, 32, 8) {}

// ---- RC4 family ----

CRC4Cryptor::CRC4Cryptor(const std::string& method, const std::string& password, int ivLength)
    : CStreamCryptor(method, password, 16, ivLength), m_mixIv(ivLength > 0) {
  std::memcpy(m_recvKey, m_key, sizeof m_recvKey);
  std::memcpy(m_keyCopy, m_key, sizeof m_keyCopy);
  std::memcpy(m_sendKey, m_key, sizeof m_sendKey);
}

CRC4Cryptor::~CRC4Cryptor() {
  sodium_memzero(m_sendKey, sizeof m_sendKey);
  sodium_memzero(m_recvKey, sizeof m_recvKey);
  sodium_memzero(m_keyCopy, sizeof m_keyCopy);
}

void CRC4Cryptor::MixRc4Key(bool sending) {
  if (!m_mixIv) return;
  uint8_t material[16 + kMaxIvLength];
  std::memcpy(material, m_keyCopy, 16);
  std::memcpy(material + 16, sending ? m_iv : m_recvIv, static_cast<std::size_t>(m_ivLength));
  CryptoPP::Weak1::MD5().CalculateDigest(sending ? m_sendKey : m_recvKey, material,
                                         16 + static_cast<std::size_t>(m_ivLength));
  sodium_memzero(material, sizeof material);
}

bool CRC4Cryptor::KeySendContext() {
  MixRc4Key(true);
  m_send.SetKey(m_sendKey, 16);
  return true;
}

bool CRC4Cryptor::KeyRecvContext() {
  MixRc4Key(false);
  m_recv.SetKey(m_recvKey, 16);
  return true;
}

bool CRC4Cryptor::ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) {
  m_send.ProcessData(output, input, length);
  return true;
}

bool CRC4Cryptor::ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) {
  m_recv.ProcessData(output, input, length);
  return true;
}

// ---- ChaCha20 ----

CChaCha20CryptorBase::CChaCha20CryptorBase(const std::string& method, const std::string& password, int ivLength)
    : CStreamCryptor(method, password, 32, ivLength) {}

void CChaCha20CryptorBase::Reset() {
  CStreamCryptor::Reset();
  m_sendCount = 0;
  m_recvCount = 0;
}

bool CChaCha20CryptorBase::KeySendContext() {
  m_sendCount = 0;
  return true;
}

bool CChaCha20CryptorBase::KeyRecvContext() {
  m_recvCount = 0;
  return true;
}

bool CChaCha20CryptorBase::ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) {
  return Process(input, output, length, m_iv, m_sendCount);
}

bool CChaCha20CryptorBase::ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) {
  return Process(input, output, length, m_recvIv, m_recvCount);
}

bool CChaCha20CryptorBase::Process(const uint8_t* input, uint8_t* output, std::size_t length, const uint8_t* nonce,
                                   uint64_t& count) {
  std::size_t done = 0;
  const std::size_t pad = static_cast<std::size_t>(count % 64);
  if (pad) {
    // Finish the block the previous call stopped in.
    uint8_t block[64] = {};
    if (!XorBlocks(block, block, sizeof block, nonce, count / 64)) return false;
    const std::size_t take = std::min(sizeof block - pad, length);
    for (std::size_t i = 0; i < take; ++i) output[i] = input[i] ^ block[pad + i];
    sodium_memzero(block, sizeof block);
    done = take;
  }
  if (done < length && !XorBlocks(output + done, input + done, length - done, nonce, (count + done) / 64)) {
    return false;
  }
  count += length;
  return true;
}

CChaCha20Cryptor::CChaCha20Cryptor(const std::string& method, const std::string& password)
    : CChaCha20CryptorBase(method, password, 8) {}

bool CChaCha20Cryptor::XorBlocks(uint8_t* output, const uint8_t* input, std::size_t length, const uint8_t* nonce,
                                 uint64_t block) {
  return crypto_stream_chacha20_xor_ic(output, input, length, nonce, block, m_key) == 0;
}

CChaCha20IetfCryptor::CChaCha20IetfCryptor(const std::string& method, const std::string& password)
    : CChaCha20CryptorBase(method, password, 12) {}

bool CChaCha20IetfCryptor::XorBlocks(uint8_t* output, const uint8_t* input, std::size_t length, const uint8_t* nonce,
                                     uint64_t block) {
  // The block counter is 32 bits wide; going past it would repeat keystream.
  const uint64_t blocks = (static_cast<uint64_t>(length) + 63) / 64;
  if (block > UINT32_MAX || blocks > (uint64_t{1} << 32) - block) return false;
  return crypto_stream_chacha20_ietf_xor_ic(output, input, length, nonce, static_cast<uint32_t>(block), m_key) == 0;
}

}  // namespace vantor
