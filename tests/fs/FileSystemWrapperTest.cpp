#include "FsTestSupport.h"
#include "LocalTestEnvironment.h"
#include "zel/CFileSystemWrapper.h"
#include "zel/CInvalidArgError.h"

using namespace zel;

namespace fleck_test {

INSTANTIATE_TEST_SUITE_P(Wrapper, FileSystemConformance,
                         ::testing::Values(LocalTestEnvironment::kind("WrappedLocal",
                                                                      CLocalFileSystem::Options(),
                                                                      true)),
                         fileSystemKindName);

namespace {

// A double that refuses stores with AlreadyExists, reported from its own completion
// thread, and counts them; everything else goes to the target.
class RefusingStores final : public CFileSystemWrapper {
 public:
  using CFileSystemWrapper::CFileSystemWrapper;
  ~RefusingStores() override { finishOwnOperations(); }

  P<IAsyncOperation> storeStreamAsync(const CURI&, std::int64_t, P<IInStream>, bool,
                                      IDoneListener* listener) override {
    return runAsync(
        [this] {
          refused.fetch_add(1);
          throw CFileSystemError(CFileSystemError::AlreadyExists);
        },
        listener);
  }

  std::atomic<int> refused{0};
};

}  // namespace

TEST(FileSystemWrapperTest, DoubleChangesOneOperationAndForwardsTheRest) {
  TempFolder folder;
  const CURI file = folder.uri() << "file";
  auto local = make<CLocalFileSystem>();
  auto refusing = make<RefusingStores>(local);
  EXPECT_EQ(refusing->getTarget(), P<IFileSystem>(local));
  EXPECT_THROW(CFileSystemWrapper(nullptr), CInvalidArgError);

  auto refused = runOperation([&](IDoneListener* l) {
    return refusing->storeStreamAsync(file, 1, streamOf(textBytes("x")), false, l);
  });
  EXPECT_EQ(refused->getProblem(), CFileSystemError::AlreadyExists);
  EXPECT_FALSE(local->exists(file));

  writeFile(*refusing, file, textBytes("through"));
  EXPECT_EQ(readFile(*local, file), textBytes("through"));
  auto deleted = runOperation([&](IDoneListener* l) { return refusing->deleteAsync(file, l); });
  EXPECT_EQ(deleted->getProblem(), -1);
  EXPECT_FALSE(local->exists(file));

  // Dropping the double finishes what it still has queued.
  std::vector<P<RecordingListener>> listeners;
  for (int i = 0; i < 50; ++i) {
    listeners.push_back(make<RecordingListener>());
    refusing->storeStreamAsync(file, 0, streamOf(Bytes()), true, listeners.back().get());
  }
  refusing = nullptr;
  for (auto& listener : listeners) {
    EXPECT_EQ(listener->getCalls(), 1);
    EXPECT_EQ(listener->getProblem(), CFileSystemError::AlreadyExists);
    EXPECT_FALSE(listener->wasInline());
  }
}

}  // namespace fleck_test
