// zel::String: UTF-8 in both directions, and parseInt64.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "zel/CError.h"
#include "zel/String.h"

namespace {

using zel::String;

constexpr wchar_t kReplacement = 0xFFFD;

String codePoints(std::initializer_list<std::uint32_t> points) {
  String out;
  for (auto p : points)
    out.push_back(static_cast<wchar_t>(p));
  return out;
}

TEST(TextTest, EncodesEachLengthClassAtItsBoundaries) {
  struct Case {
    std::uint32_t codePoint;
    std::string utf8;
  };
  const Case cases[] = {
      {0x00, std::string(1, '\0')},
      {0x41, "A"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0xE9, "\xC3\xA9"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0x20AC, "\xE2\x82\xAC"},
      {0xD7FF, "\xED\x9F\xBF"},
      {0xE000, "\xEE\x80\x80"},
      {0xFFFD, "\xEF\xBF\xBD"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << c.codePoint);
    const String text = codePoints({c.codePoint});
    EXPECT_EQ(text.toUTF8(), c.utf8);
    EXPECT_EQ(String::fromUTF8(c.utf8), text);
  }
}

TEST(TextTest, EveryScalarValueRoundTrips) {
  String all;
  for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    all.push_back(static_cast<wchar_t>(c));
  }
  const std::string utf8 = all.toUTF8();
  // 128 one-byte, 1920 two-byte, 61440 three-byte (less 2048 surrogates), 1048576 four-byte.
  EXPECT_EQ(utf8.size(), 128u + 1920u * 2 + (63488u - 2048u) * 3 + 1048576u * 4);
  EXPECT_EQ(String::fromUTF8(utf8), all);
}

TEST(TextTest, UnencodableCodePointsBecomeReplacementCharacters) {
  EXPECT_EQ(codePoints({0xD800}).toUTF8(), "\xEF\xBF\xBD");
  EXPECT_EQ(codePoints({0xDFFF}).toUTF8(), "\xEF\xBF\xBD");
  EXPECT_EQ(codePoints({0x110000}).toUTF8(), "\xEF\xBF\xBD");
  EXPECT_EQ(codePoints({'a', 0xFFFFFFFF, 'b'}).toUTF8(),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(TextTest, MalformedInputGivesOneReplacementPerBadByte) {
  struct Case {
    const char* what;
    std::string bytes;
    String expected;
  };
  const String r(1, kReplacement);
  const Case cases[] = {
      {"overlong slash, 2 bytes", "\xC0\xAF", r + r},
      {"lowest lead byte C1", "\xC1\xBF", r + r},
      {"overlong, 3 bytes", "\xE0\x80\xAF", r + r + r},
      {"overlong, 4 bytes", "\xF0\x80\x80\xAF", r + r + r + r},
      {"overlong U+FFFF, 4 bytes", "\xF0\x8F\xBF\xBF", r + r + r + r},
      {"high surrogate", "\xED\xA0\x80", r + r + r},
      {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", r + r + r + r + r + r},
      {"past U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"lead byte F5", "\xF5\x80\x80\x80", r + r + r + r},
      {"five-byte form", "\xF8\x88\x80\x80\x80", r + r + r + r + r},
      {"FE and FF", "\xFE\xFF", r + r},
      {"stray continuation",
       "a\x80"
       "b",
       String("a") + r + String("b")},
      {"truncated 2-byte at end", "a\xC3", String("a") + r},
      {"truncated 4-byte at end", "\xF0\x9F\x98", r + r + r},
      {"truncated 3-byte before ASCII", "\xE2\x82z", r + r + String("z")},
      {"truncated 4-byte before a good character", "\xF0\x9F\xC3\xA9", r + r + codePoints({0xE9})},
      {"lead byte before lead byte", "\xC3\xC3\xA9", r + codePoints({0xE9})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(String::fromUTF8(c.bytes), c.expected);
  }
}

std::uint64_t testSeed() {
  const char* text = std::getenv("ZEL_TEST_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : 20240501;
}

// Whatever bytes come in, the decoded text encodes to valid UTF-8 that decodes to the
// same text, and no byte yields more than one character.
TEST(TextTest, RandomBytesDecodeToStableText) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(testing::Message() << "seed " << seed << " (set ZEL_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 40, '\0');
    for (auto& b : bytes) {
      // Bias towards the bytes that matter: lead and continuation bytes.
      const auto pick = random() % 4;
      b = static_cast<char>(pick == 0 ? random() % 0x80 : 0x80 + random() % 0x80);
    }
    const String decoded = String::fromUTF8(bytes);
    ASSERT_LE(decoded.size(), bytes.size());
    const std::string encoded = decoded.toUTF8();
    ASSERT_EQ(String::fromUTF8(encoded), decoded) << "round " << round;
    ASSERT_EQ(String::fromUTF8(encoded).toUTF8(), encoded) << "round " << round;
  }
}

TEST(TextTest, ParseInt64AcceptsDecimalAndPrefixedHexadecimal) {
  struct Case {
    const char* text;
    bool hex;
    std::int64_t value;
  };
  const Case cases[] = {
      {"-0", false, 0},
      {"+17", false, 17},
      {"000123", false, 123},
      {"+9223372036854775807", false, INT64_MAX},
      {"-9223372036854775808", false, INT64_MIN},
      {"-9223372036854775808", true, INT64_MIN},
      {"10", true, 10},
      {"0XFF", true, 255},
      {"+0xaBc", true, 0xABC},
      {"0x7fffffffffffffff", true, INT64_MAX},
      {"-0x8000000000000000", true, INT64_MIN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(zel::parseInt64(c.text, c.hex), c.value);
  }
  EXPECT_EQ(String::fromInt64(INT64_MIN), String("-9223372036854775808"));
  // Without the flag, hexadecimal is malformed text.
  EXPECT_THROW(zel::parseInt64("0x10", false), zel::CError);
}

TEST(TextTest, ParseInt64RoundTripsRandomValues) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(testing::Message() << "seed " << seed << " (set ZEL_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  for (int i = 0; i < 10000; ++i) {
    // Random magnitudes, not just huge ones.
    const auto value = static_cast<std::int64_t>(random() >> (random() % 64));
    const std::int64_t signedValue = (random() & 1) ? value : -value;
    ASSERT_EQ(zel::parseInt64(String::fromInt64(signedValue), false), signedValue);
  }
}

TEST(TextTest, ParseInt64RejectsMalformedText) {
  const char* bad[] = {
      "",
      "+",
      "-",
      " 1",
      "1\n",
      "1.0",
      "--1",
      "+-1",
      "1-",
      "١",
      "ff",  // the prefix is required
      "0x",
      "0x0x1",
      "9223372036854775808",  // overflow by one
      "-9223372036854775809",
      "92233720368547758070",
      "0x8000000000000000",
      "-0x8000000000000001",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    try {
      zel::parseInt64(text, true);
      ADD_FAILURE() << "parsed";
    } catch (const zel::CError& e) {
      // The text travels with the error.
      EXPECT_EQ(e.getProps().lookup("text"), String(text));
      EXPECT_FALSE(e.getMessage().empty());
    }
  }
}

}  // namespace
