#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

// The records a disk keeps: fleck records, the small files (header, links) kept twice
// with a digest, and the key a password gives. The digests, ciphers and compressors
// themselves are tested in their own folders.

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Key = zel::TCryptBuffer<unsigned char>;

constexpr int kFleckSize = 65536;

Buffer buffer(const std::string& bytes) {
  return Buffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
std::string text(const Buffer& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.getData()), bytes.getUsed());
}
std::string digest(const std::string& bytes, const EVP_MD* type = EVP_md5()) {
  std::string out(static_cast<std::size_t>(EVP_MD_size(type)), '\0');
  EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(out.data()), nullptr,
             type, nullptr);
  return out;
}

CFleckDiskHeader header(const char* compressID, const char* cipherID) {
  CFleckDiskHeader h;
  h.setCompressID(compressID);
  h.setCipherID(cipherID);
  h.setFleckSize(kFleckSize);
  return h;
}
Key key(unsigned char seed) {
  const std::vector<unsigned char> bytes(32, seed);
  return Key(bytes.data(), bytes.size());
}
std::string payload(std::size_t size, unsigned seed, bool compressible = false) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(compressible ? i / 100 % 5 : random());
  return bytes;
}
std::string prepare(CFleckDataPreparer& preparer, const std::string& bytes) {
  Buffer record;
  preparer.prepareData(buffer(bytes), record);
  return text(record);
}
// The payload, or the error's message. `fixDigest` makes the record digest match, so
// that the checks behind it are reached.
std::string unprepare(CFleckDataPreparer& preparer, std::string record, bool fixDigest = false) {
  if (fixDigest)
    record.replace(record.size() - 16, 16, digest(record.substr(0, record.size() - 16)));
  Buffer out;
  try {
    preparer.unprepareData(buffer(record), out);
  } catch (const zel::CError& e) {
    return e.getMessage().toUTF8();
  }
  return text(out);
}

TEST(PreparerTest, EveryCompressorFamilyRoundTripsWithAndWithoutEncryption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    for (const char* compressID : {"null", "zlib-9", "lz4", "lz4hc", "lzma-6-1"}) {
      SCOPED_TRACE(std::string(compressID) + "/" + cipherID);
      CFleckDataPreparer preparer(header(compressID, cipherID), key(7));
      for (const std::string& input :
           {payload(0, 1), payload(1, 2), payload(kFleckSize, 3), payload(kFleckSize, 4, true)})
        EXPECT_TRUE(unprepare(preparer, prepare(preparer, input)) == input);
    }
  }
}

TEST(PreparerTest, RecordLayoutWithoutCompressionOrEncryption) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  const std::string input = payload(100, 9);
  const std::string head = std::string("FLECK\x01\x00\x01\x00", 9) + digest(input) + input;
  EXPECT_EQ(prepare(preparer, input), head + digest(head));
}

TEST(PreparerTest, AnyFlippedByteOrMissingTailIsCorruption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    CFleckDataPreparer preparer(header("lz4", cipherID), key(1));
    const std::string record = prepare(preparer, payload(300, 11, true));
    for (std::size_t i = 0; i < record.size(); ++i) {
      std::string damaged = record;
      damaged[i] ^= 0x40;
      ASSERT_EQ(unprepare(preparer, damaged), "Fleck file is corrupted.") << "byte " << i;
    }
    for (std::size_t size : {std::size_t{0}, std::size_t{15}, record.size() - 1})
      EXPECT_EQ(unprepare(preparer, record.substr(0, size)), "Fleck file is corrupted.");
  }
}

// Behind a matching record digest: the magic, the reader version, the size, and the
// payload digest.
TEST(PreparerTest, ChecksBehindTheRecordDigest) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  const std::string record = prepare(preparer, payload(50, 12));
  const std::tuple<std::size_t, char, const char*> cases[] = {
      {0, 'X', "Invalid ID in fleck data."},
      {5, 2, "Newer software version required to read fleck data."},
      {30, 0, "Decrypted and decompressed fleck data does not match hash."}};
  for (const auto& [at, value, message] : cases)
    EXPECT_EQ(unprepare(preparer, std::string(record).replace(at, 1, 1, value), true), message);
  EXPECT_EQ(unprepare(preparer, record.substr(0, 36), true),  // no room for two digests
            "Invalid size of prepared fleck data.");
}

TEST(PreparerTest, PayloadLargerThanAFleckAndUnknownCompressorsAreRefused) {
  CFleckDataPreparer preparer(header("lz4", "null"), Key());
  Buffer record = buffer(prepare(preparer, payload(kFleckSize, 1)));
  EXPECT_THROW(preparer.prepareData(buffer(payload(kFleckSize + 1, 1)), record),
               zel::CInvalidArgError);
  EXPECT_EQ(unprepare(preparer, text(record)), payload(kFleckSize, 1));  // kept as it was
  for (const char* id : {"zlib-6", "lzma-9", "lzma-5-2"})
    EXPECT_NO_THROW(CFleckDataPreparer p(header(id, "null"), Key())) << id;
  for (const char* id : {"LZ4", "zlib", "zlib-x", "lzma-5-"})
    EXPECT_THROW(CFleckDataPreparer p(header(id, "null"), Key()), zel::CError) << id;
}

CFleckDiskHeader encrypted(const char* salt, int iterations) {
  CFleckDiskHeader h;
  h.setCipherKeyDerivationSalt(buffer(salt));
  h.setCipherKeyDerivationIterations(iterations);
  return h;
}
Key derive(const zel::String& password, const CFleckDiskHeader& h) {
  Key k;
  CFleckDisk::deriveCipherKey(k, password, h);
  return k;
}

TEST(CipherKeyTest, DerivationDependsOnSaltAndIterationsAndRefusesWeakOnes) {
  const Key k = derive("secret", encrypted("saltsalt", 1000));
  EXPECT_FALSE(k == derive("secret", encrypted("saltsalT", 1000)));
  EXPECT_FALSE(k == derive("secret", encrypted("saltsalt", 1001)));
  auto unknown = encrypted("saltsalt", 1000);
  unknown.setCipherKeyDeriverID("scrypt");
  const std::pair<CFleckDiskHeader, const char*> refused[] = {
      {encrypted("saltsal", 10000), "Key derivation salt is too small: 7 bytes"},
      {encrypted("saltsalt", 999), "Key derivation iterations are too small: 999"},
      {unknown, "Unknown key deriver ID: scrypt"}};
  for (const auto& [h, message] : refused) {
    try {
      derive("pw", h);
      ADD_FAILURE() << "derived a key";
    } catch (const zel::CInvalidArgError& e) {
      EXPECT_EQ(e.getMessage(), zel::String(message));
    }
  }
}

// The header record of a default header with a disk size of 0x0102030405.
const std::string kHead =
    std::string("FLCKDISK\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 32) +
    std::string("\0\0\x08\0\x01\0\0\0\x05\x04\x03\x02\x01\0\0\0", 16) +  // sizes
    std::string("\x03\0\0\0md5\x06\0\0\0sha256\x04\0\0\0null\0\0\0\0\x03\0\0\0lz4", 36) +
    std::string("\x16\0\0\0PKCS5-PBKDF2-HMAC-SHA1\0\0\0\0\x10\x27\0\0\0\0\0\0", 38);

class AuxFileTest : public ::testing::Test {
 protected:
  void store(const std::string& payload) {
    CFleckDiskAuxFileBase::storeAuxFile(fs, folder.uri(), "x.meta", buffer(payload));
  }
  // The payload, or the error's message, which must name the primary copy.
  std::string load(const char* name = "x.meta") {
    try {
      return text(*CFleckDiskAuxFileBase::loadAuxFile(fs, folder.uri(), name));
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getProps().lookup("uri"), (folder.uri() << name).toString(true));
      return e.getMessage().toUTF8();
    }
  }
  std::string path(const char* name) const { return folder.path() + "/" + name; }
  void put(const char* name, const std::string& payload) {
    writeFile(path(name), payload + digest(payload));
  }

  TempFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(AuxFileTest, StoresPayloadAndDigestTwiceAndFallsBackToTheSecondCopy) {
  std::filesystem::create_directories(path("fallback"));
  writeFile(path("fallback/x.meta"), "a stale copy that is longer");
  store("payload");
  EXPECT_EQ(readFile(path("x.meta")), "payload" + digest("payload"));
  EXPECT_EQ(readFile(path("fallback/x.meta")), "payload" + digest("payload"));
  std::string damaged = readFile(path("x.meta"));
  damaged[3] ^= 0x01;
  for (const std::string& primary : {std::string(), std::string(8, 'x'), damaged}) {
    writeFile(path("x.meta"), primary);
    if (primary.empty()) std::filesystem::remove(path("x.meta"));
    EXPECT_EQ(load(), "payload");
  }
  EXPECT_EQ(readFile(path("x.meta")), damaged);  // reading repairs nothing
  writeFile(path("fallback/x.meta"), std::string(5, 'y'));
  EXPECT_EQ(load(), "Fleckdisk auxiliary file is corrupted.");  // the primary's error
  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(CFleckDiskAuxFileBase::loadAuxFile(fs, folder.uri(), "y"), zel::CFileSystemError);
}

TEST_F(AuxFileTest, SizeLimits) {
  std::filesystem::create_directories(path("fallback"));
  put("x.meta", "");  // nothing but a digest
  EXPECT_EQ(load(), "Bad fleckdisk auxiliary file size: 16");
  put("x.meta", "z");
  EXPECT_EQ(load(), "z");
  const std::string largest(CFleckDiskAuxFileBase::kMaxFileLength - 16, 'a');
  put("x.meta", largest + "a");
  EXPECT_EQ(load(), "Bad fleckdisk auxiliary file size: 1048577");
  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(store(""), zel::CInvalidArgError);
  EXPECT_THROW(store(largest + "a"), zel::CInvalidArgError);
  EXPECT_FALSE(std::filesystem::exists(path("x.meta")));
  store(largest);
  EXPECT_EQ(load(), largest);
}

TEST_F(AuxFileTest, HeaderRecordVersionsAndDamage) {
  CFleckDiskHeader h;
  h.setDiskSize(0x0102030405);
  h.setCipherID("null");
  h.store(fs, folder.uri());
  EXPECT_EQ(readFile(path("disk.fleckdisk")), kHead + digest(kHead));

  std::string head = kHead + "trailing bytes";  // ignored
  head[12] = 7;                                 // the high half of the version is dropped
  head[44] = 9;                                 // disk size
  put("disk.fleckdisk", head);
  h.load(fs, folder.uri());
  EXPECT_EQ(h.getVersion(), 1);
  EXPECT_EQ(h.getDiskSize(), 0x0902030405);
  head = kHead;
  head[16] = 2;  // the lowest reader version
  put("disk.fleckdisk", head);
  CFleckDiskHeader newer;
  try {
    newer.load(fs, folder.uri());
    ADD_FAILURE() << "loaded a header that needs a newer reader";
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
    EXPECT_EQ(e.getDiskFolder(), folder.uri());
  }
  EXPECT_EQ(newer.getFleckSize(), 0x80000);  // nothing after the reader version was read
  put("disk.fleckdisk", kHead.substr(0, 60));
  EXPECT_THROW(h.load(fs, folder.uri()), zel::CIOError);
  // A link is no header, and a header no link.
  CFleckDiskLink link;
  link.setTargetURI(zel::CURI("/kept"));
  EXPECT_THROW(link.load(fs, folder.uri(), "disk.fleckdisk"), zel::CError);
  EXPECT_EQ(link.getTargetURI(), zel::CURI("/kept"));
  link.store(fs, folder.uri(), "disk.fleckdisk");
  EXPECT_THROW(h.load(fs, folder.uri()), zel::CError);
}

TEST(DiskErrorTest, MessagesAndCodesSurviveCloning) {
  const char* const messages[] = {"A newer software version is required to access this disk.",
                                  "The encryption password is incorrect.",
                                  "Fleck disk is in use by another writer.",
                                  "Unknown fleck disk error."};
  for (int code = 0; code < 4; ++code) {
    try {
      CFleckDiskError(static_cast<CFleckDiskError::ErrorCode>(code), zel::CURI("/a b"))
          .clone()
          ->throwClone();
    } catch (const CFleckDiskError& e) {
      EXPECT_EQ(e.getMessage(), zel::String(messages[code]));
      EXPECT_EQ(e.getCode(), code);
      EXPECT_EQ(e.getDiskFolder(), zel::CURI("/a b"));
    }
  }
}

}  // namespace
}  // namespace fleck::test
