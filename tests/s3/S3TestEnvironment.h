#pragma once

// The S3 gateway of the tests (scripts/rgw.sh): AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID and
// AWS_SECRET_ACCESS_KEY. Without them a test fails, or is skipped loudly with
// FLECK_S3_TESTS=skip.

#include <algorithm>
#include <string>

#include "FsTestSupport.h"
#include "s3/CS3FileSystem.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {

// True when the gateway is configured; otherwise the current test has failed or been
// skipped (loudly), and returns.
bool gatewayReady();
// Options for a file system on the gateway, with a small read window (64 KiB): reads
// of larger files take several ranged GETs.
s3::CS3FileSystem::Options gatewayOptions(int completionThreads);
// The bucket of this test process, made on first use.
std::string testBucket();
// A new, empty folder in the test bucket, named after the running test.
zel::CURI freshFolder();

// The conformance suite's storage: a fresh folder in the test bucket. A folder there is
// a key prefix.
class S3Environment final : public FileSystemEnvironment {
 public:
  S3Environment() : ready(gatewayReady()) {
    if (ready) root = freshFolder();
  }
  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override {
    // Without a gateway the test has failed or been skipped and never runs its body.
    if (!ready) return zel::make<zel::CLocalFileSystem>();
    return zel::make<s3::CS3FileSystem>(gatewayOptions(completionThreads));
  }
  zel::CURI getRoot() const override { return root; }
  std::vector<std::string> listRaw(const zel::CURI& folder) override {
    std::vector<std::string> names;
    for (const auto& entry : s3::CS3FileSystem(gatewayOptions(1)).listFolder(folder))
      names.push_back(entry.name.toUTF8());
    std::sort(names.begin(), names.end());
    return names;
  }
  bool hasRealFolders() const override { return false; }

 private:
  const bool ready;
  zel::CURI root;
};

}  // namespace fleck::test
