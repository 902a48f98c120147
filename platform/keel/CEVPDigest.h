#pragma once

#include <cstddef>

#include "keel/IDigest.h"
#include "zel/CBase.h"

struct evp_md_st;
struct evp_md_ctx_st;

namespace keel {

// A digest computed by OpenSSL's EVP interface. The OpenSSL context lives as long as
// the object and is re-initialised for each message, so steady use allocates nothing
// of ours (OpenSSL 3.0 itself re-creates a small per-algorithm state on each
// re-initialisation).
//
// Not thread-safe; see IDigest for the order of calls and getResult.
class CEVPDigest final : public zel::CBase, public virtual IDigest {
 public:
  // `algorithm` is a fetched OpenSSL digest that outlives this constructor (the
  // context takes its own reference). Throws CCryptoError when OpenSSL fails.
  explicit CEVPDigest(const evp_md_st* algorithm);
  ~CEVPDigest() override;
  CEVPDigest(const CEVPDigest&) = delete;
  CEVPDigest& operator=(const CEVPDigest&) = delete;

  // Fetches an OpenSSL digest by name ("MD5", "SHA256", "SHA1"); the caller frees it
  // with EVP_MD_free. Throws CCryptoError when OpenSSL has no such digest.
  static evp_md_st* fetchAlgorithm(const char* name);

  int getLength() const override { return length; }
  void update(const void* data, std::size_t count) override;
  void finish() override;
  void reset() override;
  const unsigned char* getResult() const override;

 private:
  enum class State {
    Fresh,     // initialised, nothing fed yet
    Feeding,   // initialised, data fed
    Finished,  // result valid; the context needs re-initialising before more data
    Failed,    // an OpenSSL call failed; only reset helps
  };

  void initialise();

  evp_md_ctx_st* context = nullptr;
  int length = 0;
  State state = State::Failed;
  unsigned char result[64] = {};  // EVP_MAX_MD_SIZE
};

}  // namespace keel
