// Model-based tests of a chain of disks: random writes, reads, seeks, flushes,
// reopenings and snapshots, checked against a plain byte array per disk.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FleckTestSupport.h"
#include "fleck/CFleckDisk.h"
#include "support/CFaultInjectingFileSystem.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck {
namespace {

using fleck::test::CFaultInjectingFileSystem;
using fleck::test::seedFromEnvironment;
using fleck::test::TempFolder;
using Bytes = std::vector<unsigned char>;

constexpr int kFleckSize = 4096;
constexpr std::int64_t kDiskSize = 40 * kFleckSize + 123;  // the last fleck is partial

class DiskModel {
 public:
  DiskModel(zel::IFileSystem* fs, const zel::CURI& root, const char* password, unsigned seed)
      : fs(fs), root(root), password(password), random(seed) {
    head = root << "disk";
    CFleckDisk::create(fs, head, kDiskSize, 1, password, "lz4", kFleckSize);
    model[head] = Bytes(kDiskSize, 0);
    reopen();
  }

  std::int64_t pick(std::int64_t limit) {
    return std::uniform_int_distribution<std::int64_t>(0, limit)(random);
  }

  Bytes randomBytes(std::size_t n) {
    Bytes bytes(n);
    const int kind = static_cast<int>(pick(3));
    for (auto& b : bytes) {
      // Zeros (flecks that become empty), runs (compressible) or noise.
      b = kind == 0   ? 0
          : kind == 1 ? static_cast<unsigned char>(pick(3))
                      : static_cast<unsigned char>(random());
    }
    return bytes;
  }

  void reopen() {
    disk.reset();
    disk = std::make_unique<CFleckDisk>(fs, head, password, zel::IIOStream::AccessReadWrite, 3);
  }

  // A random write; returns the fleck range it touched.
  std::pair<std::int64_t, std::int64_t> write() {
    const std::int64_t position = pick(kDiskSize);
    const auto length = static_cast<std::size_t>(
        pick(std::min<std::int64_t>(3 * kFleckSize, kDiskSize - position)));
    // Whole flecks now and then, which replace the payload without loading it.
    const bool whole = pick(4) == 0 && kDiskSize - position >= kFleckSize;
    const std::int64_t at = whole ? position - position % kFleckSize : position;
    const std::size_t n = whole ? kFleckSize : length;
    const Bytes bytes = randomBytes(n);
    disk->seek(at);
    disk->write(bytes.data(), static_cast<int>(n));
    std::copy(bytes.begin(), bytes.end(), model[head].begin() + at);
    return {at / kFleckSize, (at + static_cast<std::int64_t>(n) - 1) / kFleckSize};
  }

  void checkRead(CFleckDisk& which, const Bytes& expected) {
    const std::int64_t position = pick(kDiskSize);
    const auto length = static_cast<std::size_t>(
        pick(std::min<std::int64_t>(3 * kFleckSize, kDiskSize - position)));
    Bytes bytes(length);
    which.seek(position);
    which.read(bytes.data(), static_cast<int>(length));
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin() + position))
        << "read of " << length << " bytes at " << position;
  }

  void checkWhole(CFleckDisk& which, const Bytes& expected) {
    Bytes bytes(kDiskSize);
    which.seek(0);
    which.read(bytes.data(), static_cast<int>(kDiskSize));
    for (std::int64_t i = 0; i < kDiskSize; ++i) {
      ASSERT_EQ(bytes[i], expected[i])
          << "first difference at byte " << i << " of " << which.getDiskFolder().toString(true);
    }
  }

  // A linked child of the head: a snapshot of the head as it is now.
  void snapshot() {
    disk->flushChanges();
    const zel::CURI child = root << zel::String::fromUTF8("snap" + std::to_string(model.size()));
    disk.reset();  // the head learns of its new child when it opens again
    CFleckDisk::createChild(fs, child, head, CFleckDisk::ChildLinked);
    model[child] = model[head];
    reopen();
  }

  void checkSnapshots() {
    // The head's background saves move old flecks into its child; let them land.
    disk->flushChanges();
    for (const auto& [folder, expected] : model) {
      if (folder == head) continue;
      CFleckDisk snap(fs, folder, password, zel::IIOStream::AccessRead, 1);
      if (pick(3) == 0) {
        checkWhole(snap, expected);
      } else {
        for (int i = 0; i < 3; ++i)
          checkRead(snap, expected);
      }
    }
  }

  zel::P<zel::IFileSystem> fs;
  zel::CURI root;
  zel::CURI head;
  zel::String password;
  std::mt19937_64 random;
  std::map<zel::CURI, Bytes> model;
  std::unique_ptr<CFleckDisk> disk;
};

class DiskModelTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(DiskModelTest, RandomOperationsOnAChainMatchTheModel) {
  const unsigned seed = seedFromEnvironment(GetParam());
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  TempFolder root;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  DiskModel m(fs, root.uri(), seed % 2 == 0 ? "" : "pw", seed);
  for (int step = 0; step < 300 && !HasFatalFailure(); ++step) {
    switch (m.pick(9)) {
      case 0:
      case 1:
      case 2:
      case 3:
        m.write();
        break;
      case 4:
      case 5:
        m.checkRead(*m.disk, m.model[m.head]);
        break;
      case 6:
        m.disk->flushChanges();
        break;
      case 7:
        m.reopen();
        break;
      case 8:
        if (m.model.size() < 4 && m.pick(2) == 0)
          m.snapshot();
        else
          m.checkSnapshots();
        break;
    }
  }
  if (HasFatalFailure()) return;
  m.reopen();
  m.checkWhole(*m.disk, m.model[m.head]);
  m.checkSnapshots();
  EXPECT_FALSE(m.disk->haveBackgroundErrors());
}

INSTANTIATE_TEST_SUITE_P(Seeds, DiskModelTest, ::testing::Values(1u, 2u, 3u, 4u));

// Stores fail now and then: every failure is reported, and afterwards every fleck reads
// either its content before the write or after it, never anything else.
TEST(DiskModelFaultTest, FailedStoresLeaveOldOrNewContent) {
  const unsigned seed = seedFromEnvironment(11);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  TempFolder root;
  auto faulty = zel::make<CFaultInjectingFileSystem>(zel::make<zel::CLocalFileSystem>(), seed);
  zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  {
    DiskModel m(faulty, root.uri(), "pw", seed);
    faulty->addRule({.op = CFaultInjectingFileSystem::StoreStreamAsync, .problem = 0, .oneIn = 3});
    faulty->addRule({.op = CFaultInjectingFileSystem::DeleteAsync, .problem = 0, .oneIn = 3});
    std::size_t errorsSeen = 0;  // over all disk objects; each reopening starts a new list
    for (int step = 0; step < 120 && !::testing::Test::HasFatalFailure(); ++step) {
      const Bytes before = m.model[m.head];
      const auto [first, last] = m.write();
      m.disk->flushChanges();
      // The disk object is reopened after every write, so its list holds this write's.
      std::set<std::int64_t> failed;
      for (const auto& error : m.disk->getBackgroundErrorList())
        failed.insert(error.fleckIndex);
      errorsSeen += m.disk->getBackgroundErrorList().size();
      for (std::int64_t f : failed)
        ASSERT_TRUE(f >= first && f <= last) << "error for fleck " << f;

      m.reopen();
      for (std::int64_t f = first; f <= last; ++f) {
        const std::int64_t start = f * kFleckSize;
        const std::int64_t n = std::min<std::int64_t>(kFleckSize, kDiskSize - start);
        Bytes got(static_cast<std::size_t>(n));
        m.disk->seek(start);
        m.disk->read(got.data(), static_cast<int>(n));
        const bool isNew = std::equal(got.begin(), got.end(), m.model[m.head].begin() + start);
        const bool isOld = std::equal(got.begin(), got.end(), before.begin() + start);
        if (failed.count(f) != 0) {
          ASSERT_TRUE(isNew || isOld)
              << "fleck " << f << " holds neither its old nor its new bytes";
        } else {
          ASSERT_TRUE(isNew) << "fleck " << f << " lost a write that reported no error";
        }
        // What the disk holds now is the model from here on.
        std::copy(got.begin(), got.end(), m.model[m.head].begin() + start);
      }
    }
    EXPECT_GT(faulty->getInjectedCount(CFaultInjectingFileSystem::StoreStreamAsync), 0);
    EXPECT_GT(errorsSeen, 0u);
    m.disk.reset();
  }
  zel::setLogSink(previous);
}

}  // namespace
}  // namespace fleck
