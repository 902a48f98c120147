#include <gtest/gtest.h>

#include "fleck/CFleck.h"
#include "zel/CInvalidArgError.h"

namespace fleck {
namespace {

std::string path(std::int64_t index, int perLevel = 97, int levels = 5) {
  zel::TArray<int> digits;
  return CFleck::formRelativeFleckURI(index, perLevel, levels, CFleck::computeDigitWidth(perLevel),
                                      digits)
      .toString(true)
      .toUTF8();
}

TEST(AddressingTest, DigitWidthIsTheWidthOfTheLevelSizeItself) {
  const std::pair<int, int> cases[] = {{1, 1}, {15, 1}, {16, 2}, {255, 2}, {256, 3}, {4096, 4}};
  for (const auto& [perLevel, width] : cases)
    EXPECT_EQ(CFleck::computeDigitWidth(perLevel), width) << perLevel;
}

TEST(AddressingTest, PathsOfTheDefaultAndOtherTrees) {
  EXPECT_EQ(path(0), "flecks/d00/c00/b00/a00/00.fleck");
  EXPECT_EQ(path(96), "flecks/d00/c00/b00/a00/60.fleck");
  EXPECT_EQ(path(97), "flecks/d00/c00/b00/a01/00.fleck");
  EXPECT_EQ(path(1000000), "flecks/d00/c01/b09/a1b/1b.fleck");
  EXPECT_EQ(path(8587340256), "flecks/d60/c60/b60/a60/60.fleck");
  EXPECT_EQ(path(16, 16, 2), "flecks/a01/00.fleck");
  EXPECT_EQ(path(5, 97, 1), "flecks/05.fleck");
  EXPECT_EQ(path(4095 * 4096 + 7, 4096, 3), "flecks/b0000/a0fff/0007.fleck");
}

TEST(AddressingTest, IndexBeyondTheTreeIsRefusedInsteadOfWrappingAround) {
  zel::TArray<int> digits;
  // 97^5 flecks fit the default tree; the next one would get the path of fleck 0.
  EXPECT_NO_THROW(CFleck::formRelativeFleckURI(8587340256, 97, 5, 2, digits));
  EXPECT_THROW(CFleck::formRelativeFleckURI(8587340257, 97, 5, 2, digits), zel::CInvalidArgError);
  EXPECT_THROW(CFleck::formRelativeFleckURI(256, 16, 2, 2, digits), zel::CInvalidArgError);
  EXPECT_NO_THROW(CFleck::formRelativeFleckURI(255, 16, 2, 2, digits));
}

TEST(AddressingTest, PathIsRelativeAndReusesTheScratchDigits) {
  zel::TArray<int> digits;
  const zel::CURI first = CFleck::formRelativeFleckURI(1000000, 97, 5, 2, digits);
  const zel::CURI second = CFleck::formRelativeFleckURI(0, 97, 5, 2, digits);
  EXPECT_FALSE(first.isAbsolute());
  EXPECT_EQ(second.toString(true), zel::String("flecks/d00/c00/b00/a00/00.fleck"));
  EXPECT_EQ((zel::CURI("/disk") << first).toString(true),
            zel::String("/disk/flecks/d00/c01/b09/a1b/1b.fleck"));
}

}  // namespace
}  // namespace fleck
