// The classical Shadowsocks stream methods: none, AES-CFB, AES-CTR,
// Camellia-CFB, the RC4 family, Salsa20, ChaCha20 and ChaCha20-IETF.
// Wire form per direction: IV (IV-length bytes) then the ciphertext.
#pragma once

#include "crypto/cryptor.h"

// RC4 lives in Crypto++'s namespace of weak algorithms; naming it Weak1::
// works whether or not another file enabled the Weak alias first.
#ifndef CRYPTOPP_ENABLE_NAMESPACE_WEAK
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#endif
#include <cryptopp/aes.h>
#include <cryptopp/arc4.h>
#include <cryptopp/camellia.h>
#include <cryptopp/modes.h>
#include <cryptopp/salsa.h>

namespace vantor {

// "none": data copied unchanged, no IV.
class CNoneCryptor : public CCryptor {
 public:
  CNoneCryptor(const std::string& method, const std::string& password);
  bool Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet = false) override;
  bool Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
               bool packet = false) override;
};

// IV handling shared by every keyed stream method: the IV goes in front of the
// first ciphertext of the send direction, the peer's IV is gathered from the
// first received bytes (across as many calls as it takes), and each direction
// keeps its own keystream position, so data may be split at any byte.
class CStreamCryptor : public CCryptor {
 public:
  CStreamCryptor(const std::string& method, const std::string& password, int keyLength, int ivLength);
  bool Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet = false) override;
  bool Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
               bool packet = false) override;
  void Reset() override;

 protected:
  // Key the send context with the derived key and m_iv, or the receive
  // context with the derived key and m_recvIv, at keystream position 0.
  virtual bool KeySendContext() = 0;
  virtual bool KeyRecvContext() = 0;
  // Continue the direction's keystream over `length` bytes.
  virtual bool ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) = 0;
  virtual bool ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) = 0;

 private:
  void RenewSendIV();
};

// A method whose two contexts are Crypto++ symmetric ciphers keyed with the
// derived key and an IV.
template <class SendCipher, class RecvCipher>
class CCryptoppStreamCryptor : public CStreamCryptor {
 public:
  using CStreamCryptor::CStreamCryptor;

 protected:
  bool KeySendContext() override;
  bool KeyRecvContext() override;
  bool ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) override;
  bool ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) override;

  SendCipher m_send;
  RecvCipher m_recv;
};

class CAESCfbCryptor : public CCryptoppStreamCryptor<CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption,
                                                     CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption> {
 public:
  CAESCfbCryptor(const std::string& method, const std::string& password, int keyLength);
};

// The IV is the initial 128-bit counter block, incremented big-endian per block.
class CAESCtrCryptor : public CCryptoppStreamCryptor<CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption,
                                                     CryptoPP::CTR_Mode<CryptoPP::AES>::Decryption> {
 public:
  CAESCtrCryptor(const std::string& method, const std::string& password, int keyLength);
};

class CCamelliaCfbCryptor : public CCryptoppStreamCryptor<CryptoPP::CFB_Mode<CryptoPP::Camellia>::Encryption,
                                                          CryptoPP::CFB_Mode<CryptoPP::Camellia>::Decryption> {
 public:
  CCamelliaCfbCryptor(const std::string& method, const std::string& password, int keyLength);
};

// Salsa20/20 with an 8-byte nonce.
class CSalsa20Criptor : public CCryptoppStreamCryptor<CryptoPP::Salsa20::Encryption, CryptoPP::Salsa20::Encryption> {
 public:
  CSalsa20Criptor(const std::string& method, const std::string& password);
};
using CSalsa20Cryptor = CSalsa20Criptor;

// "rc4-md5" (IV 16) and "rc4-md5-6" (IV 6) key each direction with
// MD5(first 16 derived-key bytes || that direction's IV); "rc4" (no IV) uses
// the first 16 derived-key bytes directly. The keystream is not discarded.
class CRC4Cryptor : public CStreamCryptor {
 public:
  CRC4Cryptor(const std::string& method, const std::string& password, int ivLength);
  ~CRC4Cryptor() override;
  // Computes the sending (true) or receiving (false) RC4 key from the derived
  // key and that direction's IV when IV mixing is on.
  virtual void MixRc4Key(bool sending);

 protected:
  bool KeySendContext() override;
  bool KeyRecvContext() override;
  bool ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) override;
  bool ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) override;

  bool m_mixIv = false;
  uint8_t m_sendKey[32] = {};
  uint8_t m_recvKey[32] = {};
  uint8_t m_keyCopy[32] = {};
  CryptoPP::Weak1::ARC4 m_send;
  CryptoPP::Weak1::ARC4 m_recv;
};

// ChaCha20 through libsodium's stateless block-counter interface: each
// direction counts its bytes, and a call that starts inside a 64-byte block
// uses the rest of that block's keystream first.
class CChaCha20CryptorBase : public CStreamCryptor {
 public:
  CChaCha20CryptorBase(const std::string& method, const std::string& password, int ivLength);
  void Reset() override;
  uint64_t BytesEncrypted() const { return m_sendCount; }
  uint64_t BytesDecrypted() const { return m_recvCount; }

 protected:
  bool KeySendContext() override;
  bool KeyRecvContext() override;
  bool ProcessSend(const uint8_t* input, uint8_t* output, std::size_t length) override;
  bool ProcessRecv(const uint8_t* input, uint8_t* output, std::size_t length) override;
  // XOR with the keystream from block `block` on; false past the counter's range.
  virtual bool XorBlocks(uint8_t* output, const uint8_t* input, std::size_t length, const uint8_t* nonce,
                         uint64_t block) = 0;

  uint64_t m_sendCount = 0;
  uint64_t m_recvCount = 0;

 private:
  bool Process(const uint8_t* input, uint8_t* output, std::size_t length, const uint8_t* nonce, uint64_t& count);
};

// Bernstein's ChaCha20: 8-byte nonce, 64-bit block counter.
class CChaCha20Cryptor : public CChaCha20CryptorBase {
 public:
  CChaCha20Cryptor(const std::string& method, const std::string& password);

 protected:
  bool XorBlocks(uint8_t* output, const uint8_t* input, std::size_t length, const uint8_t* nonce,
                 uint64_t block) override;
};

// ChaCha20-IETF: 12-byte nonce, 32-bit block counter (256 GiB per direction).
class CChaCha20IetfCryptor : public CChaCha20CryptorBase {
 public:
  CChaCha20IetfCryptor(const std::string& method, const std::string& password);

 protected:
  bool XorBlocks(uint8_t* output, const uint8_t* input, std::size_t length, const uint8_t* nonce,
                 uint64_t block) override;
};

}  // namespace vantor
