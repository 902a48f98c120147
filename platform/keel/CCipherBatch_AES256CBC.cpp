#include "keel/CCipherBatch_AES256CBC.h"

#include <intel-ipsec-mb.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "keel/CCryptoError.h"
#include "keel/CipherCall.h"
#include "keel/ICipher.h"
#include "zel/CInvalidArgError.h"

namespace keel {

namespace {

constexpr const char* kSource = "keel::CCipherBatch_AES256CBC";
constexpr std::size_t kIV = CCipher_AES256CBC::kIVLength;
constexpr std::size_t kBlock = CCipher_AES256CBC::kBlockLength;
// The longest message the library's CBC takes in one job (below 64 KiB), whole blocks.
constexpr std::size_t kPiece = 4095 * kBlock;
// Room for the vector and a padding block without overflow.
constexpr std::size_t kMaxLength = std::numeric_limits<std::size_t>::max() - 64;

// A manager on the best code path the CPU offers, or null when it has no AES
// instructions (the library would emulate them, slower than OpenSSL) or setup fails.
IMB_MGR* makeManager() {
  IMB_MGR* manager = alloc_mb_mgr(0);
  if (manager == nullptr) return nullptr;
  init_mb_mgr_auto(manager, nullptr);
  if (imb_get_errno(manager) != 0 || (manager->features & IMB_FEATURE_AESNI) == 0) {
    free_mb_mgr(manager);
    return nullptr;
  }
  return manager;
}

// The expanded keys, wiped when the call ends.
struct ExpandedKeys {
  alignas(16) std::uint32_t encrypt[4 * 15];
  alignas(16) std::uint32_t decrypt[4 * 15];
  ~ExpandedKeys() { OPENSSL_cleanse(this, sizeof(*this)); }
};

// Runs `jobs` (all CBC encryptions under one key) in bursts the library accepts.
void submit(IMB_MGR* manager, std::vector<IMB_JOB>& jobs) {
  for (std::size_t done = 0; done < jobs.size();) {
    const auto n =
        static_cast<std::uint32_t>(std::min<std::size_t>(jobs.size() - done, IMB_MAX_BURST_SIZE));
    const std::uint32_t completed = IMB_SUBMIT_CIPHER_BURST(
        manager, jobs.data() + done, n, IMB_CIPHER_CBC, IMB_DIR_ENCRYPT, IMB_KEY_256_BYTES);
    if (completed != n) {
      const int error = imb_get_errno(manager);
      throw CCryptoError(kSource, "Multi-buffer AES-CBC failed",
                         zel::CProps().add("reason", error != 0 ? imb_get_strerror(error)
                                                                : "jobs left incomplete"));
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      if ((jobs[done + i].status & IMB_STATUS_COMPLETED_CIPHER) == 0)
        throw CCryptoError(kSource, "Multi-buffer AES-CBC left a buffer unencrypted");
    }
    done += n;
  }
}

IMB_JOB makeJob(const ExpandedKeys& keys, const unsigned char* source, unsigned char* target,
                std::size_t length, const unsigned char* iv) {
  IMB_JOB job;
  std::memset(&job, 0, sizeof(job));
  job.enc_keys = keys.encrypt;
  job.dec_keys = keys.decrypt;
  job.key_len_in_bytes = CCipher_AES256CBC::kKeyLength;
  job.src = source;
  job.dst = target;
  job.cipher_start_src_offset_in_bytes = 0;
  job.msg_len_to_cipher_in_bytes = length;
  job.iv = iv;
  job.iv_len_in_bytes = kIV;
  job.cipher_mode = IMB_CIPHER_CBC;
  job.cipher_direction = IMB_DIR_ENCRYPT;
  job.hash_alg = IMB_AUTH_NULL;
  job.chain_order = IMB_ORDER_CIPHER_HASH;
  return job;
}

}  // namespace

CCipherBatch_AES256CBC::CCipherBatch_AES256CBC(Engine wanted) {
  if (wanted != Engine::OpenSSL && (wanted == Engine::MultiBuffer || !isBatchScalarForced())) {
    manager = makeManager();
    if (manager == nullptr && wanted == Engine::MultiBuffer) {
      throw zel::CInvalidArgError(kSource, "Multi-buffer AES is not available on this CPU");
    }
  }
  engine = manager != nullptr ? Engine::MultiBuffer : Engine::OpenSSL;
  if (manager == nullptr) single = std::make_unique<CCipher_AES256CBC>();
}

CCipherBatch_AES256CBC::~CCipherBatch_AES256CBC() {
  if (manager != nullptr) free_mb_mgr(manager);
}

void CCipherBatch_AES256CBC::encrypt(const zel::TCryptBuffer<unsigned char>& key,
                                     const BatchBuffer* buffers, std::size_t count,
                                     zel::TBuffer<unsigned char>* outs, int outMode) {
  std::vector<zel::TBuffer<unsigned char>*> pointers(count);
  for (std::size_t i = 0; i < count && outs != nullptr; ++i)
    pointers[i] = &outs[i];
  encrypt(key, buffers, count, outs == nullptr ? nullptr : pointers.data(), outMode);
}

void CCipherBatch_AES256CBC::encrypt(const zel::TCryptBuffer<unsigned char>& key,
                                     const BatchBuffer* buffers, std::size_t count,
                                     zel::TBuffer<unsigned char>* const* outs, int outMode) {
  if (count > 0 && (buffers == nullptr || outs == nullptr))
    throw zel::CInvalidArgError(kSource, "No buffers or no outputs");
  if (key.getUsed() != CCipher_AES256CBC::kKeyLength) {
    throw zel::CInvalidArgError(kSource, "Wrong key length",
                                zel::CProps().add("keyLength", key.getUsed()));
  }
  for (std::size_t i = 0; i < count; ++i) {
    cipher_call::checkArguments(kSource, buffers[i].data, buffers[i].length, outMode, 0);
    if (buffers[i].length > kMaxLength) {
      throw zel::CInvalidArgError(kSource, "Data too long",
                                  zel::CProps().add("length", buffers[i].length));
    }
    if (static_cast<const void*>(&key) == static_cast<const void*>(outs[i]))
      throw zel::CInvalidArgError(kSource, "The key buffer is also an output buffer");
    for (std::size_t j = 0; j < count; ++j) {
      if (cipher_call::overlapsStorage(*outs[j], buffers[i].data, buffers[i].length))
        throw zel::CInvalidArgError(kSource, "An input lies in an output's storage");
    }
  }
  if (engine == Engine::MultiBuffer) {
    encryptMultiBuffer(key, buffers, count, outs, outMode);
    return;
  }
  std::vector<std::size_t> before(count);
  for (std::size_t i = 0; i < count; ++i)
    before[i] = outMode == ICipher::kReplace ? 0 : outs[i]->getUsed();
  for (std::size_t i = 0; i < count; ++i) {
    try {
      single->encrypt(key, buffers[i].data, buffers[i].length, *outs[i], outMode, 0);
    } catch (...) {
      // The outputs done before go back to what they held, like the one that failed.
      for (std::size_t j = 0; j < i; ++j)
        outs[j]->setUsed(before[j]);
      throw;
    }
  }
}

void CCipherBatch_AES256CBC::encryptMultiBuffer(const zel::TCryptBuffer<unsigned char>& key,
                                                const BatchBuffer* buffers, std::size_t count,
                                                zel::TBuffer<unsigned char>* const* outs,
                                                int outMode) {
  std::vector<unsigned char*> targets(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (outMode == ICipher::kReplace) outs[i]->clear();
    // Vector, whole blocks, one block of padding.
    targets[i] = outs[i]->getFreePtr(kIV + buffers[i].length / kBlock * kBlock + kBlock);
  }

  ExpandedKeys keys;
  IMB_AES_KEYEXP_256(manager, key.getData(), keys.encrypt, keys.decrypt);
  // The last bytes of each buffer with their padding: plain text, which the crypt
  // buffer wipes when it goes.
  zel::TCryptBuffer<unsigned char> lastBlocks;
  unsigned char* const padded = lastBlocks.getFreePtr(count * kBlock);
  std::vector<IMB_JOB> jobs;
  jobs.reserve(count);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      if (RAND_bytes(targets[i], kIV) != 1)
        CCryptoError::throwFromOpenSSL(kSource, "No random initialisation vector");
    }
    // The library takes at most kPiece bytes per job: long buffers go in rounds, each
    // piece chained on the last cipher block of the one before (the vector at first),
    // one piece of every buffer per round so that the lanes stay full.
    std::vector<std::size_t> done(count, 0);
    for (bool more = true; more;) {
      jobs.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t whole = buffers[i].length / kBlock * kBlock;
        if (done[i] == whole) continue;
        const std::size_t piece = std::min(kPiece, whole - done[i]);
        unsigned char* const at = targets[i] + kIV + done[i];
        jobs.push_back(makeJob(keys, buffers[i].data + done[i], at, piece, at - kBlock));
        done[i] += piece;
      }
      more = !jobs.empty();
      submit(manager, jobs);
    }

    // Then the last, padded block of every buffer, all in one more burst.
    jobs.clear();
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t whole = buffers[i].length / kBlock * kBlock;
      const std::size_t rest = buffers[i].length - whole;
      unsigned char* const block = padded + i * kBlock;
      if (rest > 0) std::memcpy(block, buffers[i].data + whole, rest);
      std::memset(block + rest, static_cast<int>(kBlock - rest), kBlock - rest);
      unsigned char* const at = targets[i] + kIV + whole;
      jobs.push_back(makeJob(keys, block, at, kBlock, at - kBlock));
    }
    submit(manager, jobs);
  } catch (...) {
    for (std::size_t i = 0; i < count; ++i)
      OPENSSL_cleanse(targets[i], kIV + buffers[i].length / kBlock * kBlock + kBlock);
    throw;
  }
  for (std::size_t i = 0; i < count; ++i)
    outs[i]->addUsed(kIV + buffers[i].length / kBlock * kBlock + kBlock);
}

}  // namespace keel
