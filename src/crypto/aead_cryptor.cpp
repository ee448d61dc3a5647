#include "crypto/aead_cryptor.h"

#include <sodium.h>

#include <cryptopp/hkdf.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/heap.h"

namespace vantor {
namespace {

bool ValidInput(const uint8_t* input, int length) { return length >= 0 && (length == 0 || input); }

constexpr uint8_t kSubkeyInfo[] = {'s', 's', '-', 's', 'u', 'b', 'k', 'e', 'y'};

}  // namespace

AEADCryptor::AEADCryptor(const std::string& method, const std::string& password, int keyLength, int saltLength,
                         int nonceLength, int tagLength)
    : CCryptor(method, password, keyLength, nonceLength),
      m_saltLength(saltLength),
      m_tagLength(tagLength),
      m_nonceLength(nonceLength),
      m_masterKeyLength(keyLength) {
  // The master key is the same MD5 chain as the derived key, cut to the key length.
  std::memcpy(m_masterKey, m_key, static_cast<std::size_t>(keyLength));
  NewSendSalt();
}

AEADCryptor::~AEADCryptor() {
  DropReceiveBuffer();
  sodium_memzero(m_masterKey, sizeof m_masterKey);
  sodium_memzero(m_sendSubkey, sizeof m_sendSubkey);
  sodium_memzero(m_recvSubkey, sizeof m_recvSubkey);
}

void AEADCryptor::DeriveSubkey(const uint8_t* salt, uint8_t* subkey) {
  CryptoPP::HKDF<CryptoPP::SHA1> hkdf;
  hkdf.DeriveKey(subkey, static_cast<std::size_t>(m_masterKeyLength), m_masterKey,
                 static_cast<std::size_t>(m_masterKeyLength), salt, static_cast<std::size_t>(m_saltLength), kSubkeyInfo,
                 sizeof kSubkeyInfo);
}

void AEADCryptor::NewSendSalt() {
  RandomBytes(m_sendSalt, static_cast<std::size_t>(m_saltLength));
  DeriveSubkey(m_sendSalt, m_sendSubkey);
  std::memset(m_sendNonce, 0, sizeof m_sendNonce);
  m_sendSaltUsed = false;
  m_sendSaltPending = false;
  SubkeyChanged(true);
}

void AEADCryptor::DropReceiveBuffer() {
  platform::heapFree(m_recvBuffer);
  m_recvBuffer = nullptr;
  m_recvBufferLength = 0;
  m_recvBufferCapacity = 0;
}

// Makes the receive buffer hold exactly `length` bytes from `data`, which
// points into the buffer itself when `inBuffer` is set.
bool AEADCryptor::KeepReceived(const uint8_t* data, std::size_t length, bool inBuffer) {
  if (length == 0) {
    m_recvBufferLength = 0;
    return true;
  }
  if (inBuffer) {
    std::memmove(m_recvBuffer, data, length);
  } else {
    if (m_recvBufferCapacity < length) {
      void* grown = platform::heapRealloc(m_recvBuffer, length);
      if (!grown) return false;
      m_recvBuffer = static_cast<uint8_t*>(grown);
      m_recvBufferCapacity = length;
    }
    std::memcpy(m_recvBuffer, data, length);
  }
  m_recvBufferLength = static_cast<int>(length);
  return true;
}

void AEADCryptor::Reset() {
  CCryptor::Reset();
  m_sendSaltPending = true;
  m_saltSent = false;
  m_saltReceived = false;
  std::memset(m_recvNonce, 0, sizeof m_recvNonce);
  DropReceiveBuffer();
  m_pendingPayload = -1;
  m_streamFailed = false;
}

bool AEADCryptor::Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet) {
  return packet ? EncryptPacket(input, length, output, outputLength)
                : EncryptStream(input, length, output, outputLength);
}

bool AEADCryptor::Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
                          bool packet) {
  if (packet) {
    needMore = false;
    return DecryptPacket(input, length, output, outputLength);
  }
  return DecryptStream(input, length, output, outputLength, needMore);
}

bool AEADCryptor::EncryptStream(const uint8_t* input, int length, uint8_t*& output, int& outputLength) {
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  const bool prefix = !m_saltSent;
  SettleSendSalt();
  // A salt that already keyed a datagram must not key a stream as well.
  if (prefix && m_sendSaltUsed) NewSendSalt();
  const std::size_t len = static_cast<std::size_t>(length);
  const std::size_t tag = static_cast<std::size_t>(m_tagLength);
  const std::size_t chunks = (len + kMaxPayload - 1) / kMaxPayload;
  const std::size_t total = (prefix ? static_cast<std::size_t>(m_saltLength) : 0) + chunks * (2 + 2 * tag) + len;
  if (total > INT_MAX) return false;
  if (total == 0) return true;
  auto* buffer = static_cast<uint8_t*>(platform::heapAlloc(total));
  if (!buffer) return false;

  uint8_t nonceBefore[sizeof m_sendNonce];
  std::memcpy(nonceBefore, m_sendNonce, sizeof m_sendNonce);
  std::size_t p = 0;
  if (prefix) {
    std::memcpy(buffer, m_sendSalt, static_cast<std::size_t>(m_saltLength));
    p = static_cast<std::size_t>(m_saltLength);
  }
  for (std::size_t done = 0; done < len;) {
    const std::size_t n = std::min<std::size_t>(len - done, kMaxPayload);
    const uint8_t lengthBytes[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
    int sealed = 0;
    bool ok = Seal(lengthBytes, 2, buffer + p, sealed);
    if (ok) {
      p += static_cast<std::size_t>(sealed);
      sodium_increment(m_sendNonce, static_cast<std::size_t>(m_nonceLength));
      ok = Seal(input + done, static_cast<int>(n), buffer + p, sealed);
    }
    if (!ok) {
      // Nothing of this call goes out, so the nonce must not move either.
      std::memcpy(m_sendNonce, nonceBefore, sizeof m_sendNonce);
      platform::heapFree(buffer);
      return false;
    }
    p += static_cast<std::size_t>(sealed);
    sodium_increment(m_sendNonce, static_cast<std::size_t>(m_nonceLength));
    done += n;
  }
  m_saltSent = true;
  m_ivSent = true;
  m_sendSaltUsed = true;
  output = buffer;
  outputLength = static_cast<int>(p);
  return true;
}

bool AEADCryptor::EncryptPacket(const uint8_t* input, int length, uint8_t*& output, int& outputLength) {
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  // Every datagram is sealed with nonce zero, so each needs a salt (and
  // subkey) of its own; without a Reset in between, draw one here.
  SettleSendSalt();
  if (m_sendSaltUsed) NewSendSalt();
  const std::size_t total =
      static_cast<std::size_t>(m_saltLength) + static_cast<std::size_t>(length) + static_cast<std::size_t>(m_tagLength);
  if (total > INT_MAX) return false;
  auto* buffer = static_cast<uint8_t*>(platform::heapAlloc(total));
  if (!buffer) return false;
  std::memcpy(buffer, m_sendSalt, static_cast<std::size_t>(m_saltLength));
  std::memset(m_sendNonce, 0, sizeof m_sendNonce);
  int sealed = 0;
  if (!Seal(input, length, buffer + m_saltLength, sealed)) {
    platform::heapFree(buffer);
    return false;
  }
  m_sendSaltUsed = true;
  output = buffer;
  outputLength = m_saltLength + sealed;
  return true;
}

bool AEADCryptor::DecryptStream(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore) {
  needMore = false;
  output = nullptr;
  outputLength = 0;
  if (m_streamFailed) return false;
  if (!ValidInput(input, length)) return false;

  // Parse straight from the input when nothing is pending; otherwise join the
  // input to what earlier calls left over.
  const uint8_t* data = input;
  std::size_t avail = static_cast<std::size_t>(length);
  if (m_recvBufferLength > 0) {
    const std::size_t held = static_cast<std::size_t>(m_recvBufferLength);
    const std::size_t need = held + avail;
    if (m_recvBufferCapacity < need && need <= INT_MAX) {
      const std::size_t capacity = std::max(need, m_recvBufferCapacity * 2);
      void* grown = platform::heapRealloc(m_recvBuffer, capacity);
      if (grown) {
        m_recvBuffer = static_cast<uint8_t*>(grown);
        m_recvBufferCapacity = capacity;
      }
    }
    if (need > INT_MAX || m_recvBufferCapacity < need) {
      // These bytes cannot be kept, so the stream has a hole from here on.
      DropReceiveBuffer();
      m_streamFailed = true;
      return false;
    }
    if (avail) std::memcpy(m_recvBuffer + held, input, avail);
    m_recvBufferLength = static_cast<int>(need);
    data = m_recvBuffer;
    avail = need;
  }

  std::size_t pos = 0;
  uint8_t* out = nullptr;
  std::size_t produced = 0;
  const std::size_t tag = static_cast<std::size_t>(m_tagLength);
  const std::size_t lengthChunk = 2 + tag;
  bool saltJustTaken = false;

  if (!m_saltReceived) {
    const std::size_t salt = static_cast<std::size_t>(m_saltLength);
    if (avail < salt) {
      if (!KeepReceived(data, avail, data == m_recvBuffer)) goto failed;
      needMore = true;
      return true;
    }
    std::memcpy(m_recvSalt, data, salt);
    DeriveSubkey(m_recvSalt, m_recvSubkey);
    std::memset(m_recvNonce, 0, sizeof m_recvNonce);
    SubkeyChanged(false);
    m_saltReceived = true;
    m_ivReceived = true;
    pos = salt;
    saltJustTaken = true;
  }

  for (;;) {
    const std::size_t rest = avail - pos;
    if (m_pendingPayload < 0) {
      if (rest == 0) {
        needMore = saltJustTaken && produced == 0;  // a salt alone is nothing to read yet
        break;
      }
      if (rest < lengthChunk) {
        needMore = true;
        break;
      }
      uint8_t lengthBytes[2];
      int opened = 0;
      if (!Open(data + pos, static_cast<int>(lengthChunk), lengthBytes, opened) || opened != 2) {
        goto failed;
      }
      const int payload = (lengthBytes[0] << 8) | lengthBytes[1];
      if (payload > kMaxPayload) goto failed;
      sodium_increment(m_recvNonce, static_cast<std::size_t>(m_nonceLength));
      m_pendingPayload = payload;
      pos += lengthChunk;
      continue;
    }
    const std::size_t chunk = static_cast<std::size_t>(m_pendingPayload) + tag;
    if (rest < chunk) {
      needMore = true;
      break;
    }
    int opened = 0;
    if (m_pendingPayload == 0) {
      uint8_t none[1];
      if (!Open(data + pos, static_cast<int>(chunk), none, opened)) goto failed;
    } else {
      if (!out) {
        // Every payload is shorter than its chunk, so what is left bounds the output.
        out = static_cast<uint8_t*>(platform::heapAlloc(rest));
        if (!out) goto failed;
      }
      if (!Open(data + pos, static_cast<int>(chunk), out + produced, opened)) goto failed;
    }
    sodium_increment(m_recvNonce, static_cast<std::size_t>(m_nonceLength));
    produced += static_cast<std::size_t>(opened);
    pos += chunk;
    m_pendingPayload = -1;
  }

  if (!KeepReceived(data + pos, avail - pos, data == m_recvBuffer)) goto failed;
  if (produced == 0) {
    platform::heapFree(out);
    out = nullptr;
  }
  output = out;
  outputLength = static_cast<int>(produced);
  return true;

failed:
  // Once a chunk fails, the nonce sequence and the framing are lost for good.
  platform::heapFree(out);
  DropReceiveBuffer();
  m_streamFailed = true;
  needMore = false;
  return false;
}

bool AEADCryptor::DecryptPacket(const uint8_t* input, int length, uint8_t*& output, int& outputLength) {
  output = nullptr;
  outputLength = 0;
  if (!ValidInput(input, length)) return false;
  if (length <= m_saltLength + m_tagLength) return false;
  std::memcpy(m_recvSalt, input, static_cast<std::size_t>(m_saltLength));
  DeriveSubkey(m_recvSalt, m_recvSubkey);
  std::memset(m_recvNonce, 0, sizeof m_recvNonce);
  SubkeyChanged(false);
  const int plain = length - m_saltLength - m_tagLength;
  auto* buffer = static_cast<uint8_t*>(platform::heapAlloc(static_cast<std::size_t>(plain)));
  if (!buffer) return false;
  int opened = 0;
  if (!Open(input + m_saltLength, length - m_saltLength, buffer, opened)) {
    platform::heapFree(buffer);
    return false;
  }
  output = buffer;
  outputLength = opened;
  return true;
}

// ---- AES-GCM ----

CAEADAesGcmCryptor::CAEADAesGcmCryptor(const std::string& method, const std::string& password, int keyLength,
                                       int saltLength, int nonceLength, int tagLength)
    : AEADCryptor(method, password, keyLength, saltLength, nonceLength, tagLength) {}

void CAEADAesGcmCryptor::SubkeyChanged(bool sending) {
  // The GHASH tables depend on the key only; rebuild them once per subkey
  // instead of once per chunk.
  if (sending) {
    m_encryptorKeyed = false;
  } else {
    m_decryptorKeyed = false;
  }
}

bool CAEADAesGcmCryptor::Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < 0) return false;
  try {
    if (!m_encryptorKeyed) {
      m_encryptor.SetKeyWithIV(m_sendSubkey, static_cast<std::size_t>(m_masterKeyLength), m_sendNonce,
                               static_cast<std::size_t>(m_nonceLength));
      m_encryptorKeyed = true;
    }
    m_encryptor.EncryptAndAuthenticate(output, output + length, static_cast<std::size_t>(m_tagLength), m_sendNonce,
                                       m_nonceLength, nullptr, 0, plaintext, static_cast<std::size_t>(length));
  } catch (const CryptoPP::Exception&) {
    m_encryptorKeyed = false;
    return false;
  }
  outputLength = length + m_tagLength;
  return true;
}

bool CAEADAesGcmCryptor::Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < m_tagLength) return false;
  const int plain = length - m_tagLength;
  try {
    if (!m_decryptorKeyed) {
      m_decryptor.SetKeyWithIV(m_recvSubkey, static_cast<std::size_t>(m_masterKeyLength), m_recvNonce,
                               static_cast<std::size_t>(m_nonceLength));
      m_decryptorKeyed = true;
    }
    if (!m_decryptor.DecryptAndVerify(output, ciphertext + plain, static_cast<std::size_t>(m_tagLength), m_recvNonce,
                                      m_nonceLength, nullptr, 0, ciphertext, static_cast<std::size_t>(plain))) {
      return false;
    }
  } catch (const CryptoPP::Exception&) {
    m_decryptorKeyed = false;
    return false;
  }
  outputLength = plain;
  return true;
}

// ---- ChaCha20-Poly1305 (IETF) ----

CAEADChaCha20IetfPoly1305::CAEADChaCha20IetfPoly1305(const std::string& method, const std::string& password,
                                                     int keyLength, int saltLength, int nonceLength, int tagLength)
    : AEADCryptor(method, password, keyLength, saltLength, nonceLength, tagLength) {}

bool CAEADChaCha20IetfPoly1305::Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < 0) return false;
  unsigned long long sealed = 0;
  if (crypto_aead_chacha20poly1305_ietf_encrypt(output, &sealed, plaintext, static_cast<unsigned long long>(length),
                                                nullptr, 0, nullptr, m_sendNonce, m_sendSubkey) != 0) {
    return false;
  }
  outputLength = static_cast<int>(sealed);
  return true;
}

bool CAEADChaCha20IetfPoly1305::Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < m_tagLength) return false;
  unsigned long long opened = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(output, &opened, nullptr, ciphertext,
                                                static_cast<unsigned long long>(length), nullptr, 0, m_recvNonce,
                                                m_recvSubkey) != 0) {
    return false;
  }
  outputLength = static_cast<int>(opened);
  return true;
}

// ---- XChaCha20-Poly1305 (IETF) ----

CAEADXChaCha20IetfPoly1305::CAEADXChaCha20IetfPoly1305(const std::string& method, const std::string& password,
                                                       int keyLength, int saltLength, int nonceLength, int tagLength)
    : AEADCryptor(method, password, keyLength, saltLength, nonceLength, tagLength) {}

bool CAEADXChaCha20IetfPoly1305::Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < 0) return false;
  unsigned long long sealed = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt(output, &sealed, plaintext, static_cast<unsigned long long>(length),
                                                 nullptr, 0, nullptr, m_sendNonce, m_sendSubkey) != 0) {
    return false;
  }
  outputLength = static_cast<int>(sealed);
  return true;
}

bool CAEADXChaCha20IetfPoly1305::Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) {
  outputLength = 0;
  if (length < m_tagLength) return false;
  unsigned long long opened = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(output, &opened, nullptr, ciphertext,
                                                 static_cast<unsigned long long>(length), nullptr, 0, m_recvNonce,
                                                 m_recvSubkey) != 0) {
    return false;
  }
  outputLength = static_cast<int>(opened);
  return true;
}

}  // namespace vantor
