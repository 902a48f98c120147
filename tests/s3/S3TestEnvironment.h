#pragma once

#include <string>

#include "FileSystemConformance.h"
#include "s3/CS3FileSystem.h"

namespace fleck_test {

// True when the S3 gateway is configured (AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID,
// AWS_SECRET_ACCESS_KEY). Otherwise the current test fails, or is skipped with a loud
// message when FLECK_S3_TESTS=skip, and the result is false: the test returns.
bool gatewayReady();

// Options for a file system on the gateway.
s3::CS3FileSystem::Options gatewayOptions(int completionThreads);

// The bucket of this test process, made on first use.
std::string testBucket();

// A new, empty folder in the test bucket, named after the running test.
zel::CURI freshFolder();

// The conformance suite's storage: a fresh folder in the test bucket.
class S3TestEnvironment final : public FileSystemEnvironment {
 public:
  S3TestEnvironment();
  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override;
  zel::CURI getRoot() const override { return root; }
  std::vector<std::string> listRaw(const zel::CURI& folder) override;
  // A folder is a key prefix: creating one writes nothing, it exists only while a key
  // lies below it, and a key below a file is just another key.
  bool hasRealFolders() const override { return false; }

 private:
  bool ready;
  zel::CURI root;
};

}  // namespace fleck_test
