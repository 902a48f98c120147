// The contract of every cipher (round trips, in place too, bad arguments, damage never
// unnoticed), one known answer per algorithm, and the digests' calling rules.

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "keel/CCipherManager.h"
#include "keel/CCipher_AES256CBC.h"
#include "keel/CCryptoError.h"
#include "keel/CDigestManager.h"
#include "keel/KeyDerivation.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMTRand.h"

namespace fleck::test {
namespace {

using Bytes = std::vector<unsigned char>;
using Key = zel::TCryptBuffer<unsigned char>;
using Buffer = zel::TBuffer<unsigned char>;
using keel::ICipher;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes contents(const Buffer& buffer) {
  return Bytes(buffer.getData(), buffer.getData() + buffer.getUsed());
}

std::uint64_t testSeed() {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : 20261206;
}

Bytes randomBytes(zel::CMTRand& random, std::size_t length) {
  Bytes out(length);
  if (length > 0) random.randData(out.data(), length);
  return out;
}

Key randomKey(zel::CMTRand& random) {
  const Bytes bytes = randomBytes(random, 32);
  return Key(bytes.data(), bytes.size());
}

Bytes encrypt(ICipher& cipher, const Key& key, const Bytes& data) {
  Buffer out;
  cipher.encrypt(key, data.data(), data.size(), out, ICipher::kAppend, 0);
  return contents(out);
}

std::optional<Bytes> tryDecrypt(ICipher& cipher, const Key& key, const Bytes& data) {
  Buffer out;
  try {
    cipher.decrypt(key, data.data(), data.size(), out, ICipher::kReplace, 0);
  } catch (const zel::CError&) {
    return std::nullopt;
  }
  return contents(out);
}

class CipherContract : public ::testing::TestWithParam<const char*> {
 protected:
  bool encrypts() const { return std::string(GetParam()) != "null"; }
  // What callers reserve: the vector in front, padding to whole blocks behind.
  std::size_t encryptedLength(std::size_t plain) const {
    const auto block = static_cast<std::size_t>(cipher->getExpansionLength2());
    return cipher->getExpansionLength1() + (block == 0 ? plain : (plain / block + 1) * block);
  }

  zel::P<ICipher> cipher = keel::CCipherManager().getCipher(GetParam());
  zel::CMTRand random{testSeed()};
};

TEST_P(CipherContract, RoundTripsEveryLengthAlsoInPlace) {
  SCOPED_TRACE("seed " + std::to_string(testSeed()) + " (FLECK_TEST_SEED)");
  std::vector<std::size_t> lengths = {0, 1, 15, 16, 17, 524288};
  for (int i = 0; i < 10; ++i)
    lengths.push_back(random.randBelow(3000));
  for (std::size_t length : lengths) {
    SCOPED_TRACE("length " + std::to_string(length));
    const Key key = randomKey(random);
    const Bytes plain = randomBytes(random, length);
    const Bytes encrypted = encrypt(*cipher, key, plain);
    EXPECT_EQ(encrypted.size(), encryptedLength(length));
    EXPECT_EQ(tryDecrypt(*cipher, key, encrypted), plain);
    if (encrypts() && length > 0) {
      EXPECT_NE(encrypt(*cipher, key, plain), encrypted) << "same vector twice";
    }
  }
  // Callers encrypt and decrypt in place: the input may lie inside the output.
  const Key key = randomKey(random);
  Buffer out(Bytes(300, 'q').data(), 300);
  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kAppend, 0);
  ASSERT_EQ(out.getUsed(), 300 + encryptedLength(300));
  const Bytes encrypted(out.getData() + 300, out.getData() + out.getUsed());
  cipher->decrypt(key, out.getData() + 300, encrypted.size(), out, ICipher::kReplace, 0);
  EXPECT_EQ(contents(out), Bytes(300, 'q'));
  cipher->decrypt(key, encrypted.data(), encrypted.size(), out, ICipher::kAppend, 0);
  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  cipher->decrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  EXPECT_EQ(contents(out), Bytes(600, 'q'));
}

TEST_P(CipherContract, RejectsBadArgumentsAndChangesNothing) {
  const Bytes data(48, 1);
  Key key = randomKey(random);
  Buffer out;
  const std::function<void()> calls[] = {
      [&] { cipher->encrypt(key, data.data(), data.size(), out, 1, 1); },  // unknown options
      [&] { cipher->decrypt(key, data.data(), data.size(), out, 0, -1); },
      [&] { cipher->encrypt(key, data.data(), data.size(), out, 2, 0); },  // unknown mode
      [&] { cipher->encrypt(key, nullptr, 5, out, 1, 0); },
      [&] { cipher->encrypt(key, data.data(), data.size(), key, 1, 0); },  // key as output
      [&] { cipher->encrypt(Key(data.data(), 31), data.data(), data.size(), out, 1, 0); },
      [&] { cipher->decrypt(Key(data.data(), 33), data.data(), data.size(), out, 0, 0); },
      [&] { cipher->decrypt(Key(), data.data(), data.size(), out, 0, 0); },
  };
  for (std::size_t i = 0; i < (encrypts() ? std::size(calls) : 4); ++i)
    EXPECT_THROW(calls[i](), zel::CInvalidArgError) << "call " << i;
  EXPECT_TRUE(out.isEmpty());
  try {
    keel::CCipherManager().getCipher("AES256CBC");
    ADD_FAILURE() << "ids are exact";
  } catch (const zel::CError& error) {
    EXPECT_EQ(error.getProps().lookup("id"), zel::String("AES256CBC"));  // named in the error
  }
}

// Wrong keys, truncation and flipped bits fail with keel::CCryptoError or give other
// plain text, never the original. A failed decrypt leaves the output as it was, with no
// plain text in its spare room, and OpenSSL's error queue empty.
TEST_P(CipherContract, DamagedInputFailsAndLeavesTheOutputAsItWas) {
  if (!encrypts()) GTEST_SKIP() << "copies";
  SCOPED_TRACE("seed " + std::to_string(testSeed()) + " (FLECK_TEST_SEED)");
  const Key key = randomKey(random);
  const Bytes plain = randomBytes(random, 40);  // the vector and three blocks
  const Bytes encrypted = encrypt(*cipher, key, plain);
  int caught = 0;  // a random last block has valid padding about once in 256 tries
  for (int i = 0; i < 200; ++i) {
    const std::optional<Bytes> result = tryDecrypt(*cipher, randomKey(random), encrypted);
    caught += result ? 0 : 1;
    EXPECT_NE(result, plain);
  }
  EXPECT_GE(caught, 180);
  for (std::size_t length = 0; length < encrypted.size(); ++length) {
    const Bytes truncated(encrypted.begin(), encrypted.begin() + static_cast<long>(length));
    const std::optional<Bytes> result = tryDecrypt(*cipher, key, truncated);
    EXPECT_TRUE(!result || (length >= 32 && length % 16 == 0 && result != plain)) << length;
  }
  caught = 0;
  for (std::size_t position = 0; position < encrypted.size(); ++position) {
    for (unsigned char mask : {0x01, 0x80}) {
      Bytes damaged = encrypted;
      damaged[position] ^= mask;
      const std::optional<Bytes> result = tryDecrypt(*cipher, key, damaged);
      EXPECT_NE(result, plain) << "byte " << position << " ^ " << int{mask};
      caught += position >= 48 && !result ? 1 : 0;
    }
  }
  EXPECT_GE(caught, 32 - 3) << "damage to the last block goes unnoticed";

  Bytes damaged = encrypt(*cipher, key, Bytes(5000, 'p'));
  do {
    ++damaged.back();  // the blocks before the last still decrypt
  } while (tryDecrypt(*cipher, key, damaged));
  Buffer out(6000);
  std::memset(out.getFreePtr(6000), 0, 6000);
  out.assign(key.getData(), 4);
  try {
    cipher->decrypt(key, damaged.data(), damaged.size(), out, ICipher::kAppend, 0);
    ADD_FAILURE() << "no error";
  } catch (const keel::CCryptoError& error) {
    EXPECT_NE(error.getMessage().find(L"wrong key"), zel::String::npos) << error.what();
    EXPECT_FALSE(error.getProps().lookup("openssl").empty()) << error.what();
    EXPECT_EQ(error.getProps().lookup("length"), zel::String("5024"));
  }
  EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL error queue left filled";
  EXPECT_EQ(contents(out), Bytes(key.getData(), key.getData() + 4));
  ASSERT_EQ(out.getCapacity(), 6000u);
  EXPECT_EQ(std::count(out.getData() + 4, out.getData() + 6000, 'p'), 0) << "plain text left";
  EXPECT_THROW(cipher->decrypt(key, damaged.data(), 40, out, ICipher::kAppend, 0), zel::CError);
  EXPECT_EQ(out.getUsed(), 4u);
  EXPECT_THROW(cipher->decrypt(key, damaged.data(), damaged.size(), out, ICipher::kReplace, 0),
               zel::CError);
  EXPECT_TRUE(out.isEmpty());
  out.assign(key.getData(), 4);
  EXPECT_THROW(cipher->decrypt(key, damaged.data(), 40, out, ICipher::kReplace, 0), zel::CError);
  EXPECT_TRUE(out.isEmpty()) << "a truncated input left the old output";
  EXPECT_EQ(tryDecrypt(*cipher, key, encrypted), plain) << "object unusable after failures";
}

INSTANTIATE_TEST_SUITE_P(All, CipherContract, ::testing::Values("aes256cbc", "null"),
                         [](const auto& info) { return std::string(info.param); });

TEST(AES256CBCTest, KnownAnswerWithAFixedVector) {
  // CBC-AES256.Encrypt, NIST SP 800-38A F.2.5.
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes plain = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  keel::CCipher_AES256CBC::FixedIVForTesting iv;
  for (unsigned char i = 0; i < sizeof iv.bytes; ++i)
    iv.bytes[i] = i;
  keel::CCipher_AES256CBC cipher(iv);
  const Key k(key.data(), key.size());
  const Bytes out = encrypt(cipher, k, plain);
  ASSERT_EQ(out.size(), 16u + 64u + 16u);  // vector, four blocks, a whole block of padding
  EXPECT_EQ(zel::toHex(out.data(), 80),
            "000102030405060708090a0b0c0d0e0f"
            "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
            "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
  // Any object decrypts it: the vector travels with the cipher text.
  EXPECT_EQ(tryDecrypt(*keel::CCipherManager().getCipher("aes256cbc"), k, out), plain);
}

std::string derive(const std::string& password, const std::string& salt, int keyLength) {
  Bytes key(static_cast<std::size_t>(keyLength));
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(password.data(), password.size(),
                                         reinterpret_cast<const unsigned char*>(salt.data()),
                                         salt.size(), 4096, keyLength, key.data());
  return zel::toHex(key.data(), key.size());
}

TEST(KeyDerivationTest, KnownAnswersAndBadArguments) {
  using namespace std::string_literals;
  // RFC 6070: output longer than one SHA-1 block, and NULs inside password and salt.
  EXPECT_EQ(derive("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 25),
            "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
  EXPECT_EQ(derive("pass\0word"s, "sa\0lt"s, 16), "56fa6aa75548099dcc37d7f03425e0c3");
  unsigned char key[20];
  const unsigned char salt[4] = {1, 2, 3, 4};
  using keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1;
  EXPECT_THROW(deriveKey_PKCS5_PBKDF2_HMAC_SHA1("pw", 2, salt, 4, 0, 20, key),
               zel::CInvalidArgError);
  EXPECT_THROW(deriveKey_PKCS5_PBKDF2_HMAC_SHA1(nullptr, 2, salt, 4, 1, 20, key),
               zel::CInvalidArgError);
}

zel::P<keel::IDigest> makeDigest(const char* id) {
  zel::P<keel::IDigest> digest;
  keel::CDigestManager().getType(id)->createDigest(digest);
  return digest;
}

std::string result(const keel::IDigest& digest) {
  return zel::toHex(digest.getResult(), static_cast<std::size_t>(digest.getLength()));
}

std::string digestOf(const char* id, const Bytes& message) {
  zel::P<keel::IDigest> digest = makeDigest(id);
  digest->update(message.data(), message.size());
  digest->finish();
  return result(*digest);
}

// One known answer per algorithm, whatever the order of calls: getResult needs a
// finish, finish again keeps the result, update after finish starts a new message.
TEST(DigestTest, KnownAnswersWhateverTheOrderOfCalls) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"md5", 16, "900150983cd24fb0d6963f7d28e17f72"},
      {"sha256", 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}};
  for (const auto& [id, length, abc] : cases) {
    EXPECT_EQ(keel::CDigestManager().getType(id)->getLength(), length);
    zel::P<keel::IDigest> digest = makeDigest(id);
    EXPECT_THROW(digest->getResult(), zel::CError);
    digest->update("xyz", 3);
    digest->finish();
    digest->finish();
    EXPECT_EQ(result(*digest), digestOf(id, {'x', 'y', 'z'}));
    digest->update("a", 1);
    EXPECT_THROW(digest->getResult(), zel::CError);
    digest->update("bc", 2);
    digest->finish();
    EXPECT_EQ(result(*digest), abc) << id;
  }
}

// Pieces of any size, empty ones included, give the result of one update; reset and
// reuse forget the message before.
TEST(DigestTest, PiecesGiveTheResultOfOneUpdate) {
  zel::CMTRand random(testSeed());
  for (const char* id : {"md5", "sha256"}) {
    zel::P<keel::IDigest> pieces = makeDigest(id);
    for (int round = 0; round < 20; ++round) {
      const Bytes message = randomBytes(random, random.randBelow(5000));
      pieces->update("stale", 5);
      pieces->reset();
      for (std::size_t done = 0, piece = 0; done < message.size(); done += piece) {
        piece = random.randBelow(std::min<std::size_t>(message.size() - done, 200) + 1);
        pieces->update(message.data() + done, piece);
      }
      pieces->update(nullptr, 0);
      pieces->finish();
      ASSERT_EQ(result(*pieces), digestOf(id, message)) << id << ", seed " << testSeed();
    }
  }
}

// Objects are never shared between threads; OpenSSL and the algorithms fetched once
// per process are. The threads start together to race for that first fetch.
TEST(ConcurrencyTest, ThreadsWithTheirOwnObjectsWorkSideBySide) {
  const Bytes plain(20000, 'c');
  std::vector<std::string> digests(4);
  std::latch start(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      zel::P<ICipher> cipher = keel::CCipherManager().getCipher("aes256cbc");
      const Bytes keyBytes(32, static_cast<unsigned char>(t));
      const Key key(keyBytes.data(), keyBytes.size());
      for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(tryDecrypt(*cipher, key, encrypt(*cipher, key, plain)), plain);
        digests[t] = digestOf(t % 2 == 0 ? "sha256" : "md5", plain);
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(digests[t], digestOf(t % 2 == 0 ? "sha256" : "md5", plain));
}

}  // namespace
}  // namespace fleck::test
