#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "keel/Batch.h"
#include "keel/CCipher_AES256CBC.h"
#include "zel/CBase.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

struct IMB_MGR;

namespace keel {

// AES-256-CBC encryption of many independent buffers under one key, each with its own
// random initialisation vector; every output is exactly what CCipher_AES256CBC::encrypt
// gives (16 bytes of vector, then the input with PKCS#7 padding in CBC), so
// CCipher_AES256CBC decrypts it.
//
// One CBC stream is sequential: each block waits for the one before. The multi-buffer
// engine (intel-ipsec-mb) runs the buffers side by side, one per lane of the AES units,
// which is where a batch gains. It encrypts the whole blocks of every buffer in one burst
// and then the last, padded block of every buffer in a second one, so the input is read
// in place and never copied. The OpenSSL engine encrypts one buffer at a time with
// CCipher_AES256CBC; it is used when the CPU has no AES instructions, when
// FLECK_KEEL_SCALAR=1 (see isBatchScalarForced), or when asked for.
//
// Not thread-safe: one user, one thread at a time (the multi-buffer manager and the
// OpenSSL context belong to the object).
class CCipherBatch_AES256CBC final : public zel::CBase {
 public:
  enum class Engine { Auto, MultiBuffer, OpenSSL };

  // Throws CCryptoError when neither engine can be set up, zel::CInvalidArgError when
  // `engine` is MultiBuffer and the CPU cannot run it.
  explicit CCipherBatch_AES256CBC(Engine engine = Engine::Auto);
  ~CCipherBatch_AES256CBC() override;
  CCipherBatch_AES256CBC(const CCipherBatch_AES256CBC&) = delete;
  CCipherBatch_AES256CBC& operator=(const CCipherBatch_AES256CBC&) = delete;

  // MultiBuffer or OpenSSL: the engine this object uses.
  Engine getEngine() const { return engine; }

  // Encrypts buffers[i] into *outs[i] for i < count, with outMode ICipher::kReplace or
  // kAppend as in ICipher::encrypt. No input may lie in an output's storage (growing an
  // output could move it). Bad arguments throw zel::CInvalidArgError; a failure
  // throws CCryptoError and leaves every output as ICipher::encrypt does after a failure.
  void encrypt(const zel::TCryptBuffer<unsigned char>& key, const BatchBuffer* buffers,
               std::size_t count, zel::TBuffer<unsigned char>* const* outs, int outMode);
  // The same for outputs that lie side by side.
  void encrypt(const zel::TCryptBuffer<unsigned char>& key, const BatchBuffer* buffers,
               std::size_t count, zel::TBuffer<unsigned char>* outs, int outMode);

 private:
  void encryptMultiBuffer(const zel::TCryptBuffer<unsigned char>& key, const BatchBuffer* buffers,
                          std::size_t count, zel::TBuffer<unsigned char>* const* outs, int outMode);

  Engine engine = Engine::OpenSSL;
  IMB_MGR* manager = nullptr;                 // MultiBuffer only
  std::unique_ptr<CCipher_AES256CBC> single;  // OpenSSL only
};

}  // namespace keel
