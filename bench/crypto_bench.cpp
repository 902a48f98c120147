// Digests and the AES-256-CBC cipher, through keel and through OpenSSL's EVP interface
// directly, side by side on 512 KiB buffers. Both sides reuse their OpenSSL contexts
// and do the same work per iteration (the cipher sides also draw a random vector), so
// the difference is what keel's layer costs. The batch passes show what running 16
// buffers side by side gains.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <vector>

#include "keel/CCipherBatch_AES256CBC.h"
#include "keel/CCipherManager.h"
#include "keel/CDigestManager.h"
#include "keel/CMD5Batch.h"

namespace {

constexpr std::size_t kBufferLength = 512 * 1024;

std::vector<unsigned char> makeData() {
  std::vector<unsigned char> data(kBufferLength);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 131 + 7);
  return data;
}

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

void check(bool ok, benchmark::State& state) {
  if (!ok) state.SkipWithError("OpenSSL call failed");
}

void digestKeel(benchmark::State& state, const char* id) {
  const std::vector<unsigned char> data = makeData();
  zel::P<keel::IDigest> digest;
  keel::CDigestManager().getType(id)->createDigest(digest);
  for (auto _ : state) {
    digest->reset();
    digest->update(data.data(), data.size());
    digest->finish();
    benchmark::DoNotOptimize(digest->getResult());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void digestOpenSSL(benchmark::State& state, const char* name) {
  const std::vector<unsigned char> data = makeData();
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char result[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    check(EVP_DigestInit_ex2(ctx, md, nullptr) == 1 &&
              EVP_DigestUpdate(ctx, data.data(), data.size()) == 1 &&
              EVP_DigestFinal_ex(ctx, result, &length) == 1,
          state);
    benchmark::DoNotOptimize(result);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_MD5_keel(benchmark::State& state) {
  digestKeel(state, "md5");
}
void BM_MD5_openssl(benchmark::State& state) {
  digestOpenSSL(state, "MD5");
}
void BM_SHA256_keel(benchmark::State& state) {
  digestKeel(state, "sha256");
}
void BM_SHA256_openssl(benchmark::State& state) {
  digestOpenSSL(state, "SHA256");
}

void BM_AES256CBC_Encrypt_keel(benchmark::State& state) {
  const std::vector<unsigned char> data = makeData();
  const zel::TCryptBuffer<unsigned char> key(kKey, sizeof kKey);
  zel::P<keel::ICipher> cipher = keel::CCipherManager().getCipher("aes256cbc");
  zel::TBuffer<unsigned char> out(kBufferLength + 32);
  for (auto _ : state) {
    cipher->encrypt(key, data.data(), data.size(), out, keel::ICipher::kReplace, 0);
    benchmark::DoNotOptimize(out.getData());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_AES256CBC_Encrypt_openssl(benchmark::State& state) {
  const std::vector<unsigned char> data = makeData();
  EVP_CIPHER* algorithm = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  check(EVP_CipherInit_ex2(ctx, algorithm, nullptr, nullptr, 1, nullptr) == 1, state);
  std::vector<unsigned char> out(kBufferLength + 32);
  for (auto _ : state) {
    int produced = 0;
    int last = 0;
    check(RAND_bytes(out.data(), 16) == 1 &&
              EVP_CipherInit_ex2(ctx, nullptr, kKey, out.data(), 1, nullptr) == 1 &&
              EVP_CipherUpdate(ctx, out.data() + 16, &produced, data.data(),
                               static_cast<int>(data.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + 16 + produced, &last) == 1,
          state);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(algorithm);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

std::vector<unsigned char> makeEncrypted() {
  const std::vector<unsigned char> data = makeData();
  const zel::TCryptBuffer<unsigned char> key(kKey, sizeof kKey);
  zel::TBuffer<unsigned char> out;
  keel::CCipherManager()
      .getCipher("aes256cbc")
      ->encrypt(key, data.data(), data.size(), out, keel::ICipher::kReplace, 0);
  return std::vector<unsigned char>(out.getData(), out.getData() + out.getUsed());
}

void BM_AES256CBC_Decrypt_keel(benchmark::State& state) {
  const std::vector<unsigned char> encrypted = makeEncrypted();
  const zel::TCryptBuffer<unsigned char> key(kKey, sizeof kKey);
  zel::P<keel::ICipher> cipher = keel::CCipherManager().getCipher("aes256cbc");
  zel::TBuffer<unsigned char> out(encrypted.size());
  for (auto _ : state) {
    cipher->decrypt(key, encrypted.data(), encrypted.size(), out, keel::ICipher::kReplace, 0);
    benchmark::DoNotOptimize(out.getData());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferLength));
}

void BM_AES256CBC_Decrypt_openssl(benchmark::State& state) {
  const std::vector<unsigned char> encrypted = makeEncrypted();
  EVP_CIPHER* algorithm = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  check(EVP_CipherInit_ex2(ctx, algorithm, nullptr, nullptr, 0, nullptr) == 1, state);
  std::vector<unsigned char> out(encrypted.size());
  for (auto _ : state) {
    int produced = 0;
    int last = 0;
    check(EVP_CipherInit_ex2(ctx, nullptr, kKey, encrypted.data(), 0, nullptr) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &produced, encrypted.data() + 16,
                               static_cast<int>(encrypted.size() - 16)) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + produced, &last) == 1,
          state);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(algorithm);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferLength));
}

// Batches of 16 buffers of 512 KiB (one fleck per lane of AVX-512), against the
// one-call-per-buffer passes above; bytes are those of all 16 buffers.
constexpr std::size_t kBatch = 16;

void md5Batch(benchmark::State& state, keel::CMD5Batch::Engine engine) {
  if (!keel::CMD5Batch::isUsable(engine)) {
    state.SkipWithError("engine not available on this CPU");
    return;
  }
  const std::vector<unsigned char> data = makeData();
  const std::vector<keel::BatchBuffer> buffers(kBatch, {data.data(), data.size()});
  unsigned char digests[kBatch * keel::CMD5Batch::kLength];
  for (auto _ : state) {
    keel::CMD5Batch::digestWith(engine, buffers.data(), kBatch, digests);
    benchmark::DoNotOptimize(digests);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBatch * data.size()));
}

void BM_MD5Batch16_avx512(benchmark::State& state) {
  md5Batch(state, keel::CMD5Batch::Engine::AVX512);
}
void BM_MD5Batch16_avx2(benchmark::State& state) {
  md5Batch(state, keel::CMD5Batch::Engine::AVX2);
}
void BM_MD5Batch16_openssl(benchmark::State& state) {
  md5Batch(state, keel::CMD5Batch::Engine::OpenSSL);
}

void aesBatch(benchmark::State& state, keel::CCipherBatch_AES256CBC::Engine engine) {
  const std::vector<unsigned char> data = makeData();
  const zel::TCryptBuffer<unsigned char> key(kKey, sizeof kKey);
  const std::vector<keel::BatchBuffer> buffers(kBatch, {data.data(), data.size()});
  std::vector<zel::TBuffer<unsigned char>> outs(kBatch);
  keel::CCipherBatch_AES256CBC cipher(engine);
  for (auto _ : state) {
    cipher.encrypt(key, buffers.data(), kBatch, outs.data(), keel::ICipher::kReplace);
    benchmark::DoNotOptimize(outs[0].getData());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBatch * data.size()));
}

void BM_AES256CBC_EncryptBatch16_multibuffer(benchmark::State& state) {
  aesBatch(state, keel::CCipherBatch_AES256CBC::Engine::MultiBuffer);
}
void BM_AES256CBC_EncryptBatch16_openssl(benchmark::State& state) {
  aesBatch(state, keel::CCipherBatch_AES256CBC::Engine::OpenSSL);
}

}  // namespace

BENCHMARK(BM_MD5_keel);
BENCHMARK(BM_MD5_openssl);
BENCHMARK(BM_MD5Batch16_avx512);
BENCHMARK(BM_MD5Batch16_avx2);
BENCHMARK(BM_MD5Batch16_openssl);
BENCHMARK(BM_SHA256_keel);
BENCHMARK(BM_SHA256_openssl);
BENCHMARK(BM_AES256CBC_Encrypt_keel);
BENCHMARK(BM_AES256CBC_Encrypt_openssl);
BENCHMARK(BM_AES256CBC_EncryptBatch16_multibuffer);
BENCHMARK(BM_AES256CBC_EncryptBatch16_openssl);
BENCHMARK(BM_AES256CBC_Decrypt_keel);
BENCHMARK(BM_AES256CBC_Decrypt_openssl);
