#pragma once

// The S3 gateway of the tests (scripts/rgw.sh): AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID and
// AWS_SECRET_ACCESS_KEY. Without them a test fails, or is skipped loudly with
// FLECK_S3_TESTS=skip.

#include <string>

#include "s3/CS3FileSystem.h"
#include "zel/CURI.h"

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

}  // namespace fleck::test
