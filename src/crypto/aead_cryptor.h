// The Shadowsocks AEAD methods: aes-128/192/256-gcm, chacha20-ietf-poly1305
// and xchacha20-ietf-poly1305.
//
// Stream form, per direction: salt, then chunks of
//   [sealed 2-byte big-endian payload length][sealed payload]
// with payloads of 1 .. 0x3FFF bytes; every seal and open uses the direction's
// little-endian nonce and then increments it. The session subkey of a
// direction is HKDF-SHA1(master key, that direction's salt, "ss-subkey").
// Datagram form: salt followed by the whole datagram sealed with nonce zero.
#pragma once

#include "crypto/cryptor.h"

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>

namespace vantor {

class AEADCryptor : public CCryptor {
 public:
  static constexpr int kMaxPayload = 0x3FFF;

  AEADCryptor(const std::string& method, const std::string& password, int keyLength, int saltLength, int nonceLength,
              int tagLength);
  ~AEADCryptor() override;

  bool Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet = false) override;
  bool Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
               bool packet = false) override;
  void Reset() override;

  virtual bool EncryptStream(const uint8_t* input, int length, uint8_t*& output, int& outputLength);
  virtual bool EncryptPacket(const uint8_t* input, int length, uint8_t*& output, int& outputLength);
  virtual bool DecryptStream(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore);
  virtual bool DecryptPacket(const uint8_t* input, int length, uint8_t*& output, int& outputLength);

  // Seals `length` bytes with the send subkey and send nonce (no associated
  // data) into `output`, which must hold length + tag bytes: ciphertext then
  // tag. The nonce is not incremented here.
  virtual bool Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) = 0;
  // Opens `length` bytes (ciphertext then tag) with the receive subkey and
  // receive nonce into `output` (length - tag bytes); false when the tag does
  // not verify.
  virtual bool Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) = 0;

  int GetSaltLength() const { return m_saltLength; }
  int GetTagLength() const { return m_tagLength; }
  int GetNonceLength() const { return m_nonceLength; }
  const uint8_t* GetSendSalt() const {
    SettleSendSalt();
    return m_sendSalt;
  }
  // The salt is what goes on the wire; the base IV never leaves the process.
  const uint8_t* GetWireIV() const override { return GetSendSalt(); }
  int GetWireIVLength() const override { return m_saltLength; }
  const uint8_t* GetRecvSalt() const { return m_recvSalt; }

 protected:
  // Called after a direction's subkey has changed, so contexts that cache key
  // schedules can rebuild them.
  virtual void SubkeyChanged(bool sending) { (void)sending; }

  uint8_t m_sendSalt[64] = {};
  uint8_t m_recvSalt[64] = {};
  int m_saltLength = 0;
  int m_tagLength = 0;
  int m_nonceLength = 0;
  uint8_t m_masterKey[64] = {};
  int m_masterKeyLength = 0;
  uint8_t m_sendSubkey[64] = {};
  uint8_t m_recvSubkey[64] = {};
  bool m_saltSent = false;
  bool m_saltReceived = false;
  uint8_t m_sendNonce[32] = {};
  uint8_t m_recvNonce[32] = {};
  uint8_t* m_recvBuffer = nullptr;  // service-heap block: received bytes not yet consumed
  int m_recvBufferLength = 0;

 private:
  void NewSendSalt();
  void SettleSendSalt() const {
    if (m_sendSaltPending) const_cast<AEADCryptor*>(this)->NewSendSalt();
  }
  void DeriveSubkey(const uint8_t* salt, uint8_t* subkey);
  void DropReceiveBuffer();
  bool KeepReceived(const uint8_t* data, std::size_t length, bool inBuffer);

  std::size_t m_recvBufferCapacity = 0;
  int m_pendingPayload = -1;    // payload length of a chunk whose length was opened
  bool m_streamFailed = false;  // a chunk failed: nothing after it can be decoded
  bool m_sendSaltUsed = false;  // the current send salt has keyed some ciphertext
  // Reset asked for a new send salt, drawn (and its subkey derived) only
  // when something is sent or the salt is asked for: a datagram relay resets
  // before every datagram it receives as well as before every one it sends.
  bool m_sendSaltPending = false;
};

class CAEADAesGcmCryptor : public AEADCryptor {
 public:
  CAEADAesGcmCryptor(const std::string& method, const std::string& password, int keyLength, int saltLength,
                     int nonceLength, int tagLength);
  bool Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) override;
  bool Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) override;

 protected:
  void SubkeyChanged(bool sending) override;

 private:
  CryptoPP::GCM<CryptoPP::AES>::Encryption m_encryptor;
  CryptoPP::GCM<CryptoPP::AES>::Decryption m_decryptor;
  bool m_encryptorKeyed = false;
  bool m_decryptorKeyed = false;
};

class CAEADChaCha20IetfPoly1305 : public AEADCryptor {
 public:
  CAEADChaCha20IetfPoly1305(const std::string& method, const std::string& password, int keyLength, int saltLength,
                            int nonceLength, int tagLength);
  bool Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) override;
  bool Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) override;
};

class CAEADXChaCha20IetfPoly1305 : public AEADCryptor {
 public:
  CAEADXChaCha20IetfPoly1305(const std::string& method, const std::string& password, int keyLength, int saltLength,
                             int nonceLength, int tagLength);
  bool Seal(const uint8_t* plaintext, int length, uint8_t* output, int& outputLength) override;
  bool Open(const uint8_t* ciphertext, int length, uint8_t* output, int& outputLength) override;
};

}  // namespace vantor
