#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <string>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

// The small files of a disk folder: each is a payload and its digest, kept twice; the
// header and the links are such files.

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;

std::string md5Of(const std::string& bytes) {
  unsigned char digest[16];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), 16);
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
  std::string path(const char* name) const { return folder.path() + "/" + name; }

  TempFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(AuxFileTest, StoresPayloadAndDigestTwiceAndFallsBackToTheSecondCopy) {
  std::filesystem::create_directories(path("fallback"));
  writeFile(path("fallback/x.meta"), "a stale copy that is longer");
  store("payload");
  EXPECT_EQ(readFile(path("x.meta")), "payload" + md5Of("payload"));
  EXPECT_EQ(readFile(path("fallback/x.meta")), "payload" + md5Of("payload"));
  std::string damaged = readFile(path("x.meta"));
  damaged[3] ^= 0x01;
  for (const std::string& primary : {damaged, std::string(8, 'x'), std::string()}) {
    writeFile(path("x.meta"), primary);
    if (primary.empty()) std::filesystem::remove(path("x.meta"));
    EXPECT_EQ(load(), "payload");
  }
  writeFile(path("x.meta"), damaged);
  EXPECT_EQ(load(), "payload");
  EXPECT_EQ(readFile(path("x.meta")), damaged);  // reading repairs nothing
  writeFile(path("fallback/x.meta"), std::string(5, 'y'));
  EXPECT_EQ(loadError(), "Fleckdisk auxiliary file is corrupted.");  // the primary's error
  std::filesystem::remove_all(path("fallback"));
  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(load(), zel::CFileSystemError);
  loadError();
}

TEST_F(AuxFileTest, SizeLimits) {
  std::filesystem::create_directories(path("fallback"));
  writeFile(path("x.meta"), md5Of(""));  // nothing but a digest
  EXPECT_EQ(loadError(), "Bad fleckdisk auxiliary file size: 16");
  writeFile(path("x.meta"), "z" + md5Of("z"));
  EXPECT_EQ(load(), "z");
  const std::string largest(CFleckDiskAuxFileBase::kMaxFileLength - 16, 'a');
  writeFile(path("x.meta"), largest + "a" + md5Of(largest + "a"));
  EXPECT_EQ(loadError(), "Bad fleckdisk auxiliary file size: 1048577");

  std::filesystem::remove(path("x.meta"));
  EXPECT_THROW(store(""), zel::CInvalidArgError);
  EXPECT_THROW(store(largest + "a"), zel::CInvalidArgError);
  EXPECT_FALSE(std::filesystem::exists(path("x.meta")));
  store(largest);
  EXPECT_EQ(load(), largest);
}

using HeaderLinkTest = AuxFileTest;

TEST_F(HeaderLinkTest, HeaderRecordLayoutAndRoundTrip) {
  CFleckDiskHeader h;
  h.setDiskSize(0x0102030405);
  h.setCipherID("null");
  h.store(fs, folder.uri());
  EXPECT_EQ(readFile(path("disk.fleckdisk")), kHead + md5Of(kHead));

  // Every stored field survives a round trip: storing what was loaded gives the same file.
  h.setVersion(3);
  h.setMinWriterVersion(2);
  h.setFleckSize(65536);
  h.setPayloadBlockSize(4096);
  h.setCheckSumHashID("sha256");
  h.setCryptoHashID("md5");
  h.setCipherID("aes256cbc");
  h.setCipherKeyHash(Buffer(reinterpret_cast<const unsigned char*>("hash"), 4));
  h.setCipherKeyDerivationSalt(Buffer(reinterpret_cast<const unsigned char*>("saltsalt"), 8));
  h.setCipherKeyDerivationIterations(20000);
  h.setCompressID("lzma-5-2");
  h.store(fs, folder.uri());
  const std::string stored = readFile(path("disk.fleckdisk"));
  CFleckDiskHeader loaded;
  loaded.load(fs, folder.uri());
  loaded.store(fs, folder.uri());
  EXPECT_EQ(readFile(path("disk.fleckdisk")), stored);
  EXPECT_EQ(loaded.getCipherKeyDerivationIterations(), 20000);
}

TEST_F(HeaderLinkTest, HeaderLoadChecksTheReaderVersionAndTheLength) {
  CFleckDiskHeader().store(fs, folder.uri());
  auto put = [&](const std::string& head) {
    writeFile(path("disk.fleckdisk"), head + md5Of(head));
  };
  std::string head = kHead + "trailing bytes";  // ignored
  head[12] = 7;                                 // the high half of the version is dropped
  put(head);
  CFleckDiskHeader h;
  h.load(fs, folder.uri());
  EXPECT_EQ(h.getVersion(), 1);
  EXPECT_EQ(h.getDiskSize(), 0x0102030405);

  head = kHead;
  head[16] = 2;  // the lowest reader version
  put(head);
  CFleckDiskHeader newer;
  try {
    newer.load(fs, folder.uri());
    ADD_FAILURE() << "loaded a header that needs a newer reader";
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
    EXPECT_EQ(e.getDiskFolder(), folder.uri());
  }
  EXPECT_EQ(newer.getFleckSize(), 0x80000);  // nothing after the reader version was read

  put(kHead.substr(0, 60));
  EXPECT_THROW(h.load(fs, folder.uri()), zel::CIOError);
}

TEST_F(HeaderLinkTest, LinkRoundTripsItsTargetAndMagicsAreChecked) {
  for (const char* target : {"", "../sibling/disk", "/abs/disk 1", "s3://bucket/p/q"}) {
    CFleckDiskLink link;
    link.setTargetURI(zel::CURI(target));
    link.store(fs, folder.uri(), "parent.flecklnk");
    CFleckDiskLink loaded;
    loaded.setTargetURI(zel::CURI("/previous"));
    loaded.load(fs, folder.uri(), "parent.flecklnk");
    EXPECT_EQ(loaded.getTargetURI().toString(true), zel::CURI(target).toString(true));
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
    try {
      CFleckDiskError(code, folder, "host=h pid=1", true).clone()->throwClone();
    } catch (const CFleckDiskError& e) {
      EXPECT_EQ(e.getMessage(), zel::String(message));
      EXPECT_EQ(e.getCode(), code);
      EXPECT_EQ(e.getDiskFolder(), folder);
      EXPECT_EQ(e.getHolder(), zel::String("host=h pid=1"));
      EXPECT_EQ(e.getProps().lookup("stale"), zel::String("true"));
    }
  }
  EXPECT_EQ(CFleckDiskError(CFleckDiskError::NewerVersionRequired, folder).getCode(), 0);
}

}  // namespace
}  // namespace fleck::test
