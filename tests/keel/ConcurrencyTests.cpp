#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KeelTestSupport.h"
#include "keel/CCipherManager.h"
#include "keel/CDigestManager.h"
#include "zel/CError.h"

using namespace keel_test;
using keel::ICipher;

namespace {

std::string sha256Hex(const Bytes& data) {
  zel::P<keel::IDigest> digest;
  keel::CDigestManager().getType("sha256")->createDigest(digest);
  digest->update(data.data(), data.size());
  digest->finish();
  return toHex(digest->getResult(), 32);
}

}  // namespace

// Objects are never shared between threads; what threads do share is OpenSSL and
// the algorithms fetched once per process. The threads start together so that, in a
// fresh process, they race for that first fetch.
TEST(ConcurrencyTest, ThreadsWithTheirOwnObjectsWorkSideBySide) {
  constexpr int kThreads = 4;
  Bytes plain(20000);
  for (std::size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<unsigned char>(i * 7);

  std::atomic<int> waiting{kThreads};
  std::vector<std::string> digests(kThreads);
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        waiting.fetch_sub(1);
        while (waiting.load() > 0)
          std::this_thread::yield();
        zel::P<ICipher> cipher = keel::CCipherManager().getCipher("aes256cbc");
        zel::P<keel::IDigest> digest;
        keel::CDigestManager().getType(t % 2 == 0 ? "sha256" : "md5")->createDigest(digest);
        const zel::TCryptBuffer<unsigned char> key(Bytes(32, static_cast<unsigned char>(t)).data(),
                                                   32);
        zel::TBuffer<unsigned char> encrypted;
        zel::TBuffer<unsigned char> decrypted;
        for (int round = 0; round < 20; ++round) {
          cipher->encrypt(key, plain.data(), plain.size(), encrypted, ICipher::kReplace, 0);
          cipher->decrypt(key, encrypted.getData(), encrypted.getUsed(), decrypted,
                          ICipher::kReplace, 0);
          if (toBytes(decrypted) != plain) failures[t] = "round trip changed the data";
          digest->reset();
          digest->update(decrypted.getData(), decrypted.getUsed());
          digest->finish();
        }
        if (t % 2 == 0) digests[t] = toHex(digest->getResult(), 32);
      } catch (const zel::CError& error) {
        failures[t] = error.what();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();

  const std::string expected = sha256Hex(plain);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], "") << "thread " << t;
    if (t % 2 == 0) {
      EXPECT_EQ(digests[t], expected) << "thread " << t;
    }
  }
}
