// A disk on the S3 gateway, served by `fleck serve s3://...` and read by qemu-img.

#include <cstdint>
#include <string>

#include "NbdTest.h"
#include "S3TestEnvironment.h"

namespace fleck::nbdtest {
namespace {

using fleck::test::readFile;
using fleck::test::writeFile;

constexpr std::int64_t kMiB = 1024 * 1024;

// The plugin opens an s3:// disk through the scheme file system: what qemu-img reads
// from the served disk is the image imported into it.
TEST_F(NbdTest, ServedS3DiskConvertsToTheImportedImage) {
  if (!fleck_test::gatewayReady()) return;
  const std::string disk = (fleck_test::freshFolder() << "disk").toString(true).toUTF8();
  const std::string image = makeImage(6 * kMiB, 3);
  writeFile(path("image"), image);
  fleck({"create", disk, "--size", "6M", "--fleck-size", "1M"});
  fleck({"import", disk, path("image"), "-q"});

  auto served = serve({disk, "--readonly", "--threads", "2"});
  ASSERT_NE(served, nullptr);
  const ProcessResult convert = client(
      {"qemu-img", "convert", "-f", "raw", "-O", "raw", uri("serve.sock"), path("converted")});
  ASSERT_EQ(convert.status, 0) << convert.err;
  EXPECT_TRUE(readFile(path("converted")) == image) << "qemu-img convert differs from the image";
  stopServe(*served);
}

}  // namespace
}  // namespace fleck::nbdtest
