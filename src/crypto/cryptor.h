// Cipher objects of the Shadowsocks data path: the common interface, the
// method table with its factory, the method name list and the password-to-key
// derivation shared by every method.
//
// Buffer convention: Encrypt and Decrypt never modify or take over the input.
// When they produce bytes they allocate a new zero-filled block from the
// service heap (platform/heap.h), store it in `output` and its length in
// `outputLength`; the caller frees it with vantor::platform::heapFree. When a
// call produces no bytes, `output` is null and `outputLength` is 0. Whatever
// `output` held before the call is overwritten, not freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

class CCryptor {
 public:
  static constexpr int kMaxKeyLength = 32;
  static constexpr int kMaxIvLength = 32;

  CCryptor(const std::string& method, const std::string& password, int keyLength, int ivLength);
  virtual ~CCryptor();
  CCryptor(const CCryptor&) = delete;
  CCryptor& operator=(const CCryptor&) = delete;

  // Encrypts `length` bytes. Stream form (packet false): the first call after
  // construction or Reset emits the send IV (or AEAD salt) before the
  // ciphertext; later calls continue the same stream. Datagram form (packet
  // true): the output is one self-contained datagram with its own IV or salt;
  // a fresh one is drawn when the current one has already been used, so two
  // datagrams never share an IV even without a Reset between them.
  virtual bool Encrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool packet = false) = 0;

  // Decrypts `length` bytes. Stream form: bytes that cannot be decrypted yet
  // (an incomplete IV or salt, an incomplete AEAD chunk) are kept inside the
  // cryptor and joined with the next call, so the caller never presents them
  // again; `needMore` is then true and the call succeeds with whatever could
  // be decrypted (possibly nothing). A false result means the stream failed
  // authentication (AEAD) and cannot be decoded any further: every later
  // stream call fails too, until Reset. Datagram form: `input` is one whole
  // datagram; false when it is too short or does not authenticate.
  virtual bool Decrypt(const uint8_t* input, int length, uint8_t*& output, int& outputLength, bool& needMore,
                       bool packet = false) = 0;

  // Both directions back to "IV not yet sent/received", with a new send IV.
  virtual void Reset();

  // Random bytes for IVs and salts.
  virtual void RandomBytes(void* buffer, std::size_t length);

  // The 16-byte MD5 digest of the password.
  virtual void PasswordDigest(uint8_t output[16]);

  const std::string& GetMethod() const { return m_method; }
  const std::string& GetPassword() const { return m_password; }
  // The send IV (for AEAD methods a random base IV of nonce length that never
  // goes on the wire) and the derived key, as the ShadowsocksR plugins get them.
  const uint8_t* GetIV() const { return m_iv; }
  int GetIVLength() const { return m_ivLength; }
  const uint8_t* GetKey() const { return m_key; }
  int GetKeyLength() const { return m_keyLength; }
  // What a connection sends first and the ShadowsocksR plugins key their
  // MACs with: the send IV of a stream method, the salt of an AEAD method.
  virtual const uint8_t* GetWireIV() const { return m_iv; }
  virtual int GetWireIVLength() const { return m_ivLength; }
  // The peer's IV; meaningful once the first Decrypt has taken it.
  const uint8_t* GetRecvIV() const { return m_recvIv; }
  bool IVSent() const { return m_ivSent; }
  bool IVReceived() const { return m_ivReceived; }
  uint32_t GetInstance() const { return m_instance; }

 protected:
  std::string m_method;
  std::string m_password;
  uint8_t m_key[kMaxKeyLength] = {};  // password-derived; first m_keyLength bytes used
  bool m_ivSent = false;
  uint8_t m_iv[kMaxIvLength] = {};  // send IV; first m_ivLength bytes used
  bool m_ivReceived = false;
  uint8_t m_recvIv[kMaxIvLength] = {};
  int m_recvIvFill = 0;  // bytes of the peer's IV gathered so far
  int m_keyLength = 0;
  int m_ivLength = 0;
  uint32_t m_instance = 0;
};

// Creates the cipher object for `method` (compared ignoring ASCII case) keyed
// from `password`. Null for an unknown method, and for "chacha20" and
// "chacha20-ietf" when libsodium could not be initialised. The caller owns the
// object and deletes it.
CCryptor* CreateCryptor(const std::string& method, const std::string& password);

// Initialises libsodium once per process (thread-safe; later calls return the
// first result). CreateCryptor calls it itself; start-up may call it early.
bool InitSodium();

// The methods offered to the user and accepted by the catalogue, ended by an
// empty entry.
extern const char* const MethodNames[];
bool IsValidMethod(const std::string& name);
int MethodIndex(const std::string& name);  // -1 when absent
void GetMethodNames(std::vector<std::string>& list);

// EVP_BytesToKey with MD5, no salt, one iteration: D1 = MD5(password),
// Di = MD5(Di-1 || password), key = D1 || D2 || ... cut to `keyLength`.
void DeriveKeyFromPassword(const std::string& password, uint8_t* key, std::size_t keyLength);

// The 32-byte derived key for `method` and `password`, from the process-wide
// cache (computed and inserted on a miss).
void CachedDerivedKey(const std::string& method, const std::string& password, uint8_t key[32]);

// ASCII case-insensitive equality, as method names are compared.
bool EqualsIgnoreCase(const std::string& a, const char* b);

}  // namespace vantor
