#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <string>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CBufferStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

// The small files of a disk folder: each is a payload and its digest, kept twice; the
// header and the links are such files.

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
constexpr std::size_t kMaxPayload = CFleckDiskAuxFileBase::kMaxFileLength - 16;

std::string md5Of(const std::string& bytes) {
  unsigned char digest[16];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), 16);
}

Buffer bytes(std::initializer_list<unsigned char> list) {
  return Buffer(list.begin(), list.size());
}

class AuxFileTest : public ::testing::Test {
 protected:
  void store(const std::string& payload) {
    CFleckDiskAuxFileBase::storeAuxFile(
        fs, folder.uri(), "x.meta",
        Buffer(reinterpret_cast<const unsigned char*>(payload.data()), payload.size()));
  }
  std::string load() {
    zel::P<Buffer> got = CFleckDiskAuxFileBase::loadAuxFile(fs, folder.uri(), "x.meta");
    return std::string(reinterpret_cast<const char*>(got->getData()), got->getUsed());
  }
  // The message of load()'s error, which must name the primary copy.
  std::string loadError() {
    try {
      load();
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getProps().lookup("uri"), (folder.uri() << "x.meta").toString(true));
      return e.getMessage().toUTF8();
    }
    return "no error";
  }
  std::string primary() const { return folder.path() + "/x.meta"; }
  std::string fallback() const { return folder.path() + "/fallback/x.meta"; }

  TempFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(AuxFileTest, StoresPayloadAndDigestTwiceAndLoadsItBack) {
  std::filesystem::create_directories(folder.path() + "/fallback");
  writeFile(fallback(), "a stale copy that is longer");
  for (const std::string payload : {"header record", "short"}) {
    store(payload);
    EXPECT_EQ(readFile(primary()), payload + md5Of(payload));
    EXPECT_EQ(readFile(fallback()), payload + md5Of(payload));
    EXPECT_EQ(load(), payload);
  }
}

TEST_F(AuxFileTest, FallsBackWhenThePrimaryIsMissingOrDamaged) {
  store("payload");
  const std::string good = readFile(primary());
  std::string damaged = good;
  damaged[3] ^= 0x01;
  for (const std::string& primaryBytes : {damaged, std::string(8, 'x'), std::string()}) {
    writeFile(primary(), primaryBytes);
    if (primaryBytes.empty()) std::filesystem::remove(primary());
    EXPECT_EQ(load(), "payload");
  }
  writeFile(primary(), damaged);
  EXPECT_EQ(load(), "payload");
  EXPECT_EQ(readFile(primary()), damaged);  // reading repairs nothing
  writeFile(fallback(), std::string(5, 'y'));
  EXPECT_EQ(loadError(), "Fleckdisk auxiliary file is corrupted.");  // the primary's error
  std::filesystem::remove(primary());
  std::filesystem::remove(fallback());
  EXPECT_THROW(load(), zel::CFileSystemError);
  loadError();  // names the primary copy too
}

TEST_F(AuxFileTest, SizeLimits) {
  std::filesystem::create_directories(folder.path() + "/fallback");
  writeFile(primary(), md5Of(""));  // nothing but a digest
  EXPECT_EQ(loadError(), "Bad fleckdisk auxiliary file size: 16");
  writeFile(primary(), "z" + md5Of("z"));
  EXPECT_EQ(load(), "z");
  const std::string largest(kMaxPayload, 'a');
  writeFile(primary(), largest + "a" + md5Of(largest + "a"));
  EXPECT_EQ(loadError(), "Bad fleckdisk auxiliary file size: 1048577");

  std::filesystem::remove(primary());
  EXPECT_THROW(store(""), zel::CInvalidArgError);
  EXPECT_THROW(store(largest + "a"), zel::CInvalidArgError);
  EXPECT_FALSE(std::filesystem::exists(primary()));
  store(largest);
  EXPECT_EQ(load(), largest);
}

// A header record written by hand, for values the class would not produce.
void storeRawHeader(zel::IFileSystem* fs, const zel::CURI& folder, std::int64_t version,
                    std::int64_t minReader, bool whole = true) {
  auto stream = zel::make<zel::CBufferStream>();
  zel::CDataOutStream out(stream);
  out.write("FLCKDISK", 8, nullptr);
  out.writeInt64(version);
  out.writeInt64(minReader);
  if (whole) {
    out.writeInt64(1);
    out.writeInt32(65536);
    out.writeInt32(512);
    out.writeInt64(1 << 20);
    for (const char* text : {"md5", "sha256", "null"})
      out.writeString(text);
    out.writeInt32(0);
    out.writeString("zlib-6");
    out.writeString("PKCS5-PBKDF2-HMAC-SHA1");
    out.writeInt32(0);
    out.writeInt64(10000);
    out.write("trailing bytes", 14, nullptr);
  }
  CFleckDiskAuxFileBase::storeAuxFile(fs, folder, "disk.fleckdisk", *stream->getBuffer());
}

using HeaderLinkTest = AuxFileTest;

TEST_F(HeaderLinkTest, HeaderRoundTripsEveryStoredField) {
  CFleckDiskHeader h;
  h.setVersion(3);
  h.setMinWriterVersion(2);
  h.setFleckSize(65536);
  h.setPayloadBlockSize(4096);
  h.setDiskSize(123456789012345);
  h.setCheckSumHashID("sha256");
  h.setCryptoHashID("md5");
  h.setCipherID("aes256cbc");
  h.setCipherKeyHash(bytes({1, 2, 3}));
  h.setCipherKeyDerivationSalt(bytes({9, 8, 7, 6, 5, 4, 3, 2}));
  h.setCipherKeyDerivationIterations(20000);
  h.setCompressID("lzma-5-2");
  h.store(fs, folder.uri());
  CFleckDiskHeader l;
  l.load(fs, folder.uri());
  EXPECT_EQ(l.getVersion(), 3);
  EXPECT_EQ(l.getMinReaderVersion(), 1);
  EXPECT_EQ(l.getMinWriterVersion(), 2);
  EXPECT_EQ(l.getFleckSize(), 65536);
  EXPECT_EQ(l.getPayloadBlockSize(), 4096);
  EXPECT_EQ(l.getDiskSize(), 123456789012345);
  EXPECT_EQ(l.getCheckSumHashID(), zel::String("sha256"));
  EXPECT_EQ(l.getCryptoHashID(), zel::String("md5"));
  EXPECT_EQ(l.getCipherID(), zel::String("aes256cbc"));
  EXPECT_EQ(l.getCipherKeyHash(), bytes({1, 2, 3}));
  EXPECT_EQ(l.getCipherKeyDerivationSalt(), bytes({9, 8, 7, 6, 5, 4, 3, 2}));
  EXPECT_EQ(l.getCipherKeyDerivationIterations(), 20000);
  EXPECT_EQ(l.getCompressID(), zel::String("lzma-5-2"));
}

TEST_F(HeaderLinkTest, HeaderRecordLayout) {
  CFleckDiskHeader header;
  header.setDiskSize(0x0102030405);
  header.setCipherID("null");
  header.store(fs, folder.uri());
  const std::string head =
      std::string("FLCKDISK\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 32) +
      std::string("\0\0\x08\0\x01\0\0\0\x05\x04\x03\x02\x01\0\0\0", 16) +  // sizes
      std::string("\x03\0\0\0md5\x06\0\0\0sha256\x04\0\0\0null\0\0\0\0\x03\0\0\0lz4", 36) +
      std::string("\x16\0\0\0PKCS5-PBKDF2-HMAC-SHA1\0\0\0\0\x10\x27\0\0\0\0\0\0", 38);
  const std::string file = readFile(folder.path() + "/disk.fleckdisk");
  EXPECT_EQ(file, head + md5Of(head));
}

TEST_F(HeaderLinkTest, HeaderVersionsAndDamage) {
  // The low 32 bits of the version count; bytes after the last field are ignored.
  storeRawHeader(fs, folder.uri(), (std::int64_t{7} << 32) | 5, 1);
  CFleckDiskHeader header;
  header.load(fs, folder.uri());
  EXPECT_EQ(header.getVersion(), 5);
  EXPECT_EQ(header.getCipherKeyDerivationIterations(), 10000);

  storeRawHeader(fs, folder.uri(), 1, 2);
  CFleckDiskHeader newer;
  try {
    newer.load(fs, folder.uri());
    ADD_FAILURE() << "loaded a header that needs a newer reader";
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
    EXPECT_EQ(e.getDiskFolder(), folder.uri());
  }
  EXPECT_EQ(newer.getFleckSize(), 0x80000);  // nothing after the reader version was read

  storeRawHeader(fs, folder.uri(), 1, 1, /*whole=*/false);
  EXPECT_THROW(header.load(fs, folder.uri()), zel::CIOError);
}

TEST_F(HeaderLinkTest, LinkRoundTripsItsTargetAndMagicsAreChecked) {
  for (const zel::CURI& target : {zel::CURI(), zel::CURI("../sibling/disk"),
                                  zel::CURI("/abs/disk 1"), zel::CURI("s3://bucket/p/q")}) {
    CFleckDiskLink link;
    link.setTargetURI(target);
    link.store(fs, folder.uri(), "parent.flecklnk");
    CFleckDiskLink loaded;
    loaded.setTargetURI(zel::CURI("/previous"));
    loaded.load(fs, folder.uri(), "parent.flecklnk");
    EXPECT_EQ(loaded.getTargetURI().toString(true), target.toString(true));
  }
  CFleckDiskHeader().store(fs, folder.uri());
  CFleckDiskLink link;
  link.setTargetURI(zel::CURI("/kept"));
  EXPECT_THROW(link.load(fs, folder.uri(), "disk.fleckdisk"), zel::CError);
  EXPECT_EQ(link.getTargetURI(), zel::CURI("/kept"));
  link.store(fs, folder.uri(), "disk.fleckdisk");
  CFleckDiskHeader header;
  EXPECT_THROW(header.load(fs, folder.uri()), zel::CError);
}

TEST(DiskErrorTest, MessagesCodesAndClassSurviveCloning) {
  const zel::CURI folder("/disks/with space/a");
  const std::pair<CFleckDiskError::ErrorCode, const char*> cases[] = {
      {CFleckDiskError::NewerVersionRequired,
       "A newer software version is required to access this disk."},
      {CFleckDiskError::EncryptPasswordIncorrect, "The encryption password is incorrect."},
      {CFleckDiskError::InUseByAnotherWriter, "Fleck disk is in use by another writer."},
      {static_cast<CFleckDiskError::ErrorCode>(3), "Unknown fleck disk error."}};
  for (const auto& [code, message] : cases) {
    zel::P<zel::CError> kept = CFleckDiskError(code, folder, "host=h pid=1", true).clone();
    try {
      kept->throwClone();
    } catch (const CFleckDiskError& e) {
      EXPECT_EQ(e.getMessage(), zel::String(message));
      EXPECT_EQ(e.getCode(), code);
      EXPECT_EQ(e.getDiskFolder(), folder);
      EXPECT_EQ(e.getHolder(), zel::String("host=h pid=1"));
      EXPECT_EQ(e.getProps().lookup("stale"), zel::String("true"));
      continue;
    }
    ADD_FAILURE() << "not caught as CFleckDiskError";
  }
}

}  // namespace
}  // namespace fleck::test
