#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>

#include "KeelTestSupport.h"
#include "keel/CCipherManager.h"
#include "keel/CDigestManager.h"

using namespace keel_test;
using keel::ICipher;

namespace {

std::atomic<long> opensslAllocations{0};

void* countingMalloc(std::size_t count, const char* /*file*/, int /*line*/) {
  opensslAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(count);
}

void* countingRealloc(void* p, std::size_t count, const char* /*file*/, int /*line*/) {
  opensslAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::realloc(p, count);
}

void countingFree(void* p, const char* /*file*/, int /*line*/) {
  std::free(p);
}

// OpenSSL takes these only before its first allocation, hence static initialisation.
// Should something in the process have used OpenSSL earlier, the tests skip.
const bool countingInstalled =
    CRYPTO_set_mem_functions(countingMalloc, countingRealloc, countingFree) == 1;

long allocationsSoFar() {
  return opensslAllocations.load(std::memory_order_relaxed);
}

}  // namespace

TEST(SteadyStateTest, CipherCallsAllocateNothing) {
  if (!countingInstalled) GTEST_SKIP() << "OpenSSL allocated before the counter was installed";
  zel::P<ICipher> cipher = keel::CCipherManager().getCipher("aes256cbc");
  const zel::TCryptBuffer<unsigned char> key(Bytes(32, 5).data(), 32);
  const Bytes plain(4096, 'd');
  zel::TBuffer<unsigned char> encrypted(8192);
  zel::TBuffer<unsigned char> decrypted(8192);

  // The first calls set up per-thread state (random generator, error queue).
  cipher->encrypt(key, plain.data(), plain.size(), encrypted, ICipher::kReplace, 0);
  cipher->decrypt(key, encrypted.getData(), encrypted.getUsed(), decrypted, ICipher::kReplace, 0);

  const long before = allocationsSoFar();
  for (int i = 0; i < 50; ++i) {
    cipher->encrypt(key, plain.data(), plain.size(), encrypted, ICipher::kReplace, 0);
    cipher->decrypt(key, encrypted.getData(), encrypted.getUsed(), decrypted, ICipher::kReplace, 0);
  }
  EXPECT_EQ(allocationsSoFar() - before, 0);
  EXPECT_EQ(encrypted.getCapacity(), 8192u);
  EXPECT_EQ(decrypted.getCapacity(), 8192u);
  EXPECT_EQ(toBytes(decrypted), plain);
}

TEST(SteadyStateTest, DigestsAllocateOnlyWhatOpenSSLNeedsPerMessage) {
  if (!countingInstalled) GTEST_SKIP() << "OpenSSL allocated before the counter was installed";
  const Bytes data(4096, 'd');
  for (const char* id : {"md5", "sha256"}) {
    SCOPED_TRACE(id);
    zel::P<keel::IDigest> digest;
    keel::CDigestManager().getType(id)->createDigest(digest);
    digest->update(data.data(), data.size());
    digest->finish();

    const long before = allocationsSoFar();
    const int messages = 50;
    for (int i = 0; i < messages; ++i) {
      digest->reset();
      digest->update(data.data(), data.size());
      digest->finish();
      digest->getResult();
    }
    // OpenSSL 3.0 re-creates the algorithm's small state whenever a context is
    // re-initialised; one allocation per message is its share, anything more ours.
    EXPECT_LE(allocationsSoFar() - before, messages);
  }
}
