#include <gtest/gtest.h>

#include "fleck/CFleck.h"

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
  EXPECT_EQ(CFleck::computeDigitWidth(1), 1);
  EXPECT_EQ(CFleck::computeDigitWidth(15), 1);
  EXPECT_EQ(CFleck::computeDigitWidth(16), 2);
  EXPECT_EQ(CFleck::computeDigitWidth(97), 2);
  EXPECT_EQ(CFleck::computeDigitWidth(255), 2);
  EXPECT_EQ(CFleck::computeDigitWidth(256), 3);
  EXPECT_EQ(CFleck::computeDigitWidth(4096), 4);
}

TEST(AddressingTest, DefaultTreePaths) {
  EXPECT_EQ(path(0), "flecks/d00/c00/b00/a00/00.fleck");
  EXPECT_EQ(path(1), "flecks/d00/c00/b00/a00/01.fleck");
  EXPECT_EQ(path(96), "flecks/d00/c00/b00/a00/60.fleck");
  EXPECT_EQ(path(97), "flecks/d00/c00/b00/a01/00.fleck");
  EXPECT_EQ(path(1000000), "flecks/d00/c01/b09/a1b/1b.fleck");
  EXPECT_EQ(path(8587340256), "flecks/d60/c60/b60/a60/60.fleck");
}

TEST(AddressingTest, OtherTreeShapes) {
  EXPECT_EQ(path(15, 16, 2), "flecks/a00/0f.fleck");
  EXPECT_EQ(path(16, 16, 2), "flecks/a01/00.fleck");
  EXPECT_EQ(path(5, 97, 1), "flecks/05.fleck");
  EXPECT_EQ(path(4095 * 4096 + 7, 4096, 3), "flecks/b0000/a0fff/0007.fleck");
}

TEST(AddressingTest, PathIsRelativeAndReusesTheScratchDigits) {
  zel::TArray<int> digits;
  const zel::CURI first = CFleck::formRelativeFleckURI(1000000, 97, 5, 2, digits);
  const zel::CURI second = CFleck::formRelativeFleckURI(0, 97, 5, 2, digits);
  EXPECT_FALSE(first.isAbsolute());
  EXPECT_EQ(first.getComponents().size(), 6u);
  EXPECT_EQ(digits.size(), 5u);
  EXPECT_EQ(second.toString(true), zel::String("flecks/d00/c00/b00/a00/00.fleck"));
  EXPECT_EQ((zel::CURI("/disk") << first).toString(true),
            zel::String("/disk/flecks/d00/c01/b09/a1b/1b.fleck"));
}

}  // namespace
}  // namespace fleck
