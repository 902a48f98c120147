#include <gtest/gtest.h>

#include "fleck/CFleckDiskError.h"

namespace fleck {
namespace {

TEST(DiskErrorTest, MessagesAndCodes) {
  const zel::CURI folder("/disks/a");
  CFleckDiskError newer(CFleckDiskError::NewerVersionRequired, folder);
  EXPECT_EQ(newer.getMessage(),
            zel::String("A newer software version is required to access this disk."));
  EXPECT_EQ(newer.getCode(), 0);
  EXPECT_EQ(newer.getSource(), zel::String("fleck"));
  ASSERT_EQ(newer.getProps().size(), 1u);
  EXPECT_EQ(newer.getProps().lookup("diskFolder"), folder.toString(true));
  EXPECT_EQ(CFleckDiskError(CFleckDiskError::EncryptPasswordIncorrect, folder).getMessage(),
            zel::String("The encryption password is incorrect."));
  const CFleckDiskError inUse(CFleckDiskError::InUseByAnotherWriter, folder, "host=h pid=1", true);
  EXPECT_EQ(inUse.getMessage(), zel::String("Fleck disk is in use by another writer."));
  EXPECT_EQ(inUse.getHolder(), zel::String("host=h pid=1"));
  EXPECT_EQ(inUse.getProps().lookup("stale"), zel::String("true"));
  for (int code : {3, -1}) {
    CFleckDiskError error(static_cast<CFleckDiskError::ErrorCode>(code), folder);
    EXPECT_EQ(error.getMessage(), zel::String("Unknown fleck disk error."));
    EXPECT_EQ(error.getCode(), code);
  }
}

TEST(DiskErrorTest, KeepsItsClassThroughCloneAndThrowClone) {
  const zel::CURI folder("/disks/with space/b");
  zel::P<zel::CError> kept;
  try {
    throw CFleckDiskError(CFleckDiskError::EncryptPasswordIncorrect, folder);
  } catch (const zel::CError& e) {
    kept = e.clone();
  }
  try {
    kept->throwClone();
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getDiskFolder(), folder);
    EXPECT_EQ(CFleckDiskError::getDiskFolder(e.getProps()), e.getDiskFolder());
    EXPECT_EQ(e.getCode(), CFleckDiskError::EncryptPasswordIncorrect);
    return;
  }
  FAIL() << "not caught as CFleckDiskError";
}

}  // namespace
}  // namespace fleck
