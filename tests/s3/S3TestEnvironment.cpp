#include "S3TestEnvironment.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "zel/CLocalFileSystem.h"

namespace fleck_test {

namespace {

bool configured() {
  for (const char* name : {"AWS_ENDPOINT_URL", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return false;
  }
  return true;
}

void checkGateway() {
  if (configured()) return;
  const char* mode = std::getenv("FLECK_S3_TESTS");
  if (mode != nullptr && std::string(mode) == "skip") {
    GTEST_SKIP() << "\n*** S3 TESTS SKIPPED: no S3 gateway configured (FLECK_S3_TESTS=skip). "
                    "Start one with scripts/rgw.sh start DIR PORT and export what it prints. ***";
  }
  GTEST_FAIL() << "No S3 gateway: AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY "
                  "must be set (eval \"$(scripts/rgw.sh start DIR PORT)\"), or FLECK_S3_TESTS=skip "
                  "to skip these tests.";
}

}  // namespace

bool gatewayReady() {
  checkGateway();
  return !::testing::Test::IsSkipped() && !::testing::Test::HasFatalFailure();
}

s3::CS3FileSystem::Options gatewayOptions(int completionThreads) {
  s3::CS3FileSystem::Options options = s3::CS3FileSystem::optionsFromEnvironment();
  options.completionThreads = completionThreads;
  return options;
}

std::string testBucket() {
  static std::once_flag once;
  static std::string bucket;
  std::call_once(once, [] {
    bucket = "fleck-tests-" + std::to_string(::getpid()) + "-" +
             std::to_string(static_cast<long>(std::time(nullptr)));
    s3::CS3Client client(gatewayOptions(1).client);
    s3::CS3Request request;
    request.method = "PUT";
    request.bucket = bucket;
    const s3::CS3Response response = client.perform(request);
    if (!response.isSuccess()) {
      throw s3::CS3FileSystem::makeError(response, "PUT bucket", {bucket, std::string()});
    }
  });
  return bucket;
}

zel::CURI freshFolder() {
  static std::atomic<int> counter{0};
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? "test" : info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  return zel::CURI(
      zel::String::fromUTF8("s3://" + testBucket() + "/" + name + "-" + std::to_string(++counter)));
}

S3TestEnvironment::S3TestEnvironment() : ready(gatewayReady()) {
  if (ready) root = freshFolder();
}

zel::P<zel::IFileSystem> S3TestEnvironment::makeFileSystem(int completionThreads) {
  // Without a gateway the test is already failed or skipped and never runs its body.
  if (!ready) return zel::make<zel::CLocalFileSystem>();
  return zel::make<s3::CS3FileSystem>(gatewayOptions(completionThreads));
}

std::vector<std::string> S3TestEnvironment::listRaw(const zel::CURI& folder) {
  s3::CS3FileSystem fs(gatewayOptions(1));
  std::vector<std::string> names;
  for (const auto& entry : fs.listFolder(folder))
    names.push_back(entry.name.toUTF8());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace fleck_test
