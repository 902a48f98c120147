#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "zel/CInvalidArgError.h"

// How fleck records are built and checked, and how a password becomes a key. The
// digests, ciphers and compressors themselves are tested in their own folders.

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Key = zel::TCryptBuffer<unsigned char>;

constexpr int kFleckSize = 65536;

CFleckDiskHeader header(const char* compressID, const char* cipherID) {
  CFleckDiskHeader h;
  h.setCompressID(compressID);
  h.setCipherID(cipherID);
  h.setFleckSize(kFleckSize);
  return h;
}

Key key(unsigned char seed) {
  Key k;
  k.setUsed(32);
  for (int i = 0; i < 32; ++i)
    k.getData()[i] = static_cast<unsigned char>(seed + i);
  return k;
}

Buffer payload(std::size_t size, unsigned seed, bool compressible = false) {
  Buffer b;
  b.setUsed(size);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < size; ++i)
    b.getData()[i] = static_cast<unsigned char>(compressible ? i / 100 % 5 : random());
  return b;
}

Buffer digest(const Buffer& bytes, std::size_t n, const EVP_MD* type = EVP_md5()) {
  Buffer out;
  out.setUsed(static_cast<std::size_t>(EVP_MD_size(type)));
  EVP_Digest(bytes.getData(), n, out.getData(), nullptr, type, nullptr);
  return out;
}

// The error's message, or "no error". `fixDigest` makes the record digest match first,
// so that the checks behind it are reached.
std::string unprepare(CFleckDataPreparer& preparer, Buffer record, bool fixDigest = false) {
  if (fixDigest) {
    const Buffer d = digest(record, record.getUsed() - 16);
    std::memcpy(record.getData() + record.getUsed() - 16, d.getData(), 16);
  }
  Buffer out;
  try {
    preparer.unprepareData(record, out);
  } catch (const zel::CError& e) {
    return e.getMessage().toUTF8();
  }
  return "no error";
}

TEST(PreparerTest, EveryCompressorFamilyRoundTripsWithAndWithoutEncryption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    for (const char* compressID : {"null", "zlib-9", "lz4", "lz4hc", "lzma-6-1"}) {
      SCOPED_TRACE(std::string(compressID) + "/" + cipherID);
      CFleckDataPreparer preparer(header(compressID, cipherID), key(7));
      for (const Buffer& input :
           {payload(0, 1), payload(1, 2), payload(kFleckSize, 3), payload(kFleckSize, 4, true)}) {
        Buffer record, output;
        preparer.prepareData(input, record);
        preparer.unprepareData(record, output);
        EXPECT_TRUE(output == input);
      }
    }
  }
}

TEST(PreparerTest, RecordLayoutWithoutCompressionOrEncryption) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  const Buffer input = payload(100, 9);
  Buffer record;
  preparer.prepareData(input, record);
  ASSERT_EQ(record.getUsed(), 9u + 16 + 100 + 16);
  EXPECT_EQ(std::memcmp(record.getData(), "FLECK\x01\x00\x01\x00", 9), 0);
  EXPECT_TRUE(Buffer(record.getData() + 9, 16) == digest(input, 100));
  EXPECT_EQ(std::memcmp(record.getData() + 25, input.getData(), 100), 0);
  EXPECT_TRUE(Buffer(record.getData() + 125, 16) == digest(record, 125));
}

TEST(PreparerTest, AnyFlippedByteOrMissingTailIsCorruption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    CFleckDataPreparer preparer(header("lz4", cipherID), key(1));
    Buffer record;
    preparer.prepareData(payload(300, 11, true), record);
    for (std::size_t i = 0; i < record.getUsed(); ++i) {
      Buffer damaged(record);
      damaged.getData()[i] ^= 0x40;
      ASSERT_EQ(unprepare(preparer, damaged), "Fleck file is corrupted.") << "byte " << i;
    }
    for (std::size_t size : {std::size_t{0}, std::size_t{15}, record.getUsed() - 1})
      EXPECT_EQ(unprepare(preparer, Buffer(record.getData(), size)), "Fleck file is corrupted.");
  }
}

// Behind a matching record digest: the magic, the reader version, the size, and the
// payload digest.
TEST(PreparerTest, ChecksBehindTheRecordDigest) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  Buffer record;
  preparer.prepareData(payload(50, 12), record);
  const std::tuple<std::size_t, unsigned char, const char*> cases[] = {
      {0, 'X', "Invalid ID in fleck data."},
      {5, 2, "Newer software version required to read fleck data."},
      {30, 0, "Decrypted and decompressed fleck data does not match hash."}};
  for (const auto& [at, value, message] : cases) {
    Buffer changed(record);
    changed.getData()[at] = value;
    EXPECT_EQ(unprepare(preparer, changed, true), message);
  }
  EXPECT_EQ(unprepare(preparer, Buffer(record.getData(), 36), true),  // no room for two digests
            "Invalid size of prepared fleck data.");
}

TEST(PreparerTest, PayloadLargerThanAFleckIsRefused) {
  CFleckDataPreparer preparer(header("lz4", "null"), Key());
  Buffer record;
  preparer.prepareData(payload(kFleckSize, 1), record);
  EXPECT_THROW(preparer.prepareData(payload(kFleckSize + 1, 1), record), zel::CInvalidArgError);
  EXPECT_EQ(unprepare(preparer, record), "no error");  // kept as it was
}

TEST(PreparerTest, RecordOfOneKeyFailsUnderAnother) {
  CFleckDataPreparer writer(header("lz4", "aes256cbc"), key(1));
  CFleckDataPreparer reader(header("lz4", "aes256cbc"), key(2));
  Buffer record;
  writer.prepareData(payload(kFleckSize, 5, true), record);
  EXPECT_NE(unprepare(reader, record), "no error");
  CFleckDataPreparer twin(header("lz4", "aes256cbc"), key(1));
  EXPECT_EQ(unprepare(twin, record), "no error");
}

TEST(PreparerTest, UnknownCompressorsAreRefused) {
  for (const char* id : {"zlib-6", "lzma-9", "lzma-5-2"})
    EXPECT_NO_THROW(CFleckDataPreparer p(header(id, "null"), Key())) << id;
  for (const char* id : {"LZ4", "zlib", "zlib-x", "lzma-5-"})
    EXPECT_THROW(CFleckDataPreparer p(header(id, "null"), Key()), zel::CError) << id;
  try {
    CFleckDataPreparer p(header("lz4x", "null"), Key());
    ADD_FAILURE() << "made a preparer";
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Unknown compressor ID: lz4x"));
  }
}

CFleckDiskHeader encrypted(std::initializer_list<unsigned char> salt, int iterations) {
  CFleckDiskHeader h;
  h.setCipherKeyDerivationSalt(Buffer(salt.begin(), salt.size()));
  h.setCipherKeyDerivationIterations(iterations);
  return h;
}

Key derive(const zel::String& password, const CFleckDiskHeader& h) {
  Key k;
  CFleckDisk::deriveCipherKey(k, password, h);
  return k;
}

TEST(CipherKeyTest, DerivationDependsOnPasswordSaltAndIterations) {
  const auto h = encrypted({1, 2, 3, 4, 5, 6, 7, 8}, 1000);
  const Key k = derive("secret", h);
  EXPECT_EQ(k.getUsed(), 32u);
  EXPECT_TRUE(k == derive("secret", h));
  EXPECT_FALSE(k == derive("secreT", h));
  EXPECT_FALSE(k == derive("secret", encrypted({1, 2, 3, 4, 5, 6, 7, 9}, 1000)));
  EXPECT_FALSE(k == derive("secret", encrypted({1, 2, 3, 4, 5, 6, 7, 8}, 1001)));
  // The password's bytes end at the first zero character; others count as UTF-8.
  EXPECT_TRUE(k == derive(zel::String(L"secret\0ignored", 14), h));
  EXPECT_FALSE(derive(L"p\u00e4ss", h) == derive("pass", h));
}

TEST(CipherKeyTest, ParameterLimits) {
  auto unknown = encrypted({1, 2, 3, 4, 5, 6, 7, 8}, 1000);
  unknown.setCipherKeyDeriverID("scrypt");
  const std::pair<CFleckDiskHeader, const char*> cases[] = {
      {encrypted({1, 2, 3, 4, 5, 6, 7}, 10000), "Key derivation salt is too small: 7 bytes"},
      {encrypted({1, 2, 3, 4, 5, 6, 7, 8}, 999), "Key derivation iterations are too small: 999"},
      {encrypted({1, 2, 3, 4, 5, 6, 7, 8}, 2000000000), "Key derivation iterations are too large"},
      {unknown, "Unknown key deriver ID: scrypt"}};
  for (const auto& [h, message] : cases) {
    try {
      derive("pw", h);
      ADD_FAILURE() << "derived a key";
    } catch (const zel::CInvalidArgError& e) {
      EXPECT_EQ(e.getMessage().toUTF8().rfind(message, 0), 0u) << e.what();
    }
  }
}

TEST(CipherKeyTest, PasswordAndKeyChecks) {
  auto h = encrypted({8, 7, 6, 5, 4, 3, 2, 1}, 1000);
  const Key right = derive("right", h);
  Key out, untouched;
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(h, "right", &out));  // no hash stored
  h.setCipherKeyHash(digest(right, right.getUsed(), EVP_sha256()));      // as the header keeps it
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(h, "right", &out));
  EXPECT_TRUE(out == right);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(h, "wrong", &untouched));
  EXPECT_EQ(untouched.getUsed(), 0u);
  EXPECT_FALSE(CFleckDisk::isCipherKeyCorrect(h, derive("wrong", h)));
  EXPECT_FALSE(CFleckDisk::isCipherKeyCorrect(h, Key(right.getData(), 31)));

  // An unencrypted disk takes any key and only the empty password, which empties the key.
  CFleckDiskHeader plain;
  plain.setCipherID("null");
  EXPECT_TRUE(CFleckDisk::isCipherKeyCorrect(plain, right));
  Key emptied(right);
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(plain, "", &emptied));
  EXPECT_EQ(emptied.getUsed(), 0u);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(plain, "x", &untouched));
}

}  // namespace
}  // namespace fleck::test
