// The shared file-system contract, run over the S3 file system on the gateway. What S3
// cannot keep (folders of their own, atomic moves) the environment declares, and the
// suite leaves those checks out.

#include "FileSystemConformance.h"
#include "S3TestEnvironment.h"

namespace fleck_test {
namespace {

std::unique_ptr<FileSystemEnvironment> makeS3Environment() {
  return std::make_unique<S3TestEnvironment>();
}

INSTANTIATE_TEST_SUITE_P(S3, FileSystemConformance,
                         ::testing::Values(FileSystemKind{"S3", makeS3Environment}),
                         fileSystemKindName);

}  // namespace
}  // namespace fleck_test
