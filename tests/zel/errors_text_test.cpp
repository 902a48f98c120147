// Error classes and the words they carry, logging, UTF-8 text and numbers, locations.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CProps.h"
#include "zel/CStdExceptionError.h"
#include "zel/CURI.h"
#include "zel/Log.h"
#include "zel/String.h"

namespace fleck::test {
namespace {

using zel::CError;
using zel::CProps;
using zel::CURI;
using zel::P;
using zel::String;

// what() carries message, source, code, properties and causes; a clone, thrown later
// from outside any handler, arrives as the most derived class with copies of its causes.
TEST(ErrorsTest, WhatAndClonesKeepEverything) {
  P<CError> root(new CError("disk gone", "device", 19, CProps().add("device", "sda")));
  const struct {
    P<CError> error;
    const char* what;
  } cases[] = {
      {root, "disk gone [device, code 19] {device=sda}"},
      {P<CError>(new CError("only a message")), "only a message"},
      {P<CError>(new CError("m", "", 3)), "m [code 3]"},
      {P<CError>(new zel::CInvalidArgError("f", "bad", CProps().add("a", -1))), "bad [f] {a=-1}"},
      {P<CError>(new zel::CIOError(zel::CIOError::EndOfStream, "short", {}, root.get())),
       "short [code 4] (caused by: disk gone [device, code 19] {device=sda})"},
      {zel::CStdExceptionError::exceptionToError(std::out_of_range("index 5")),
       "index 5 {exceptionType=St12out_of_range}"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.error->what(), c.what);
    P<CError> saved = c.error->clone();
    root.reset();
    try {
      saved->throwClone();
    } catch (const CError& thrown) {
      EXPECT_EQ(typeid(thrown), typeid(*c.error));
      EXPECT_STREQ(thrown.what(), c.what);
    }
  }
  CProps props;
  props.add("b", "1").add("a", "2").add("c", 3).add("a", "replaced");
  props.addAll(CProps().add("d", "4").add("b", "new"));
  props.add("max", std::numeric_limits<std::size_t>::max()).add("min", INT64_MIN);
  EXPECT_EQ(props.toString(), String("b=new, a=replaced, c=3, d=4, max=18446744073709551615, "
                                     "min=-9223372036854775808"));
}

TEST(ErrorsTest, FileSystemProblemTravelsInTheProperties) {
  using zel::CFileSystemError;
  const CFileSystemError error(CFileSystemError::NotFound,
                               CError("ENOENT", "open", 2, CProps().add("path", "/missing")));
  EXPECT_EQ(error.getProps().lookup("path"), String("/missing"));
  EXPECT_EQ(error.getMessage(),
            CFileSystemError::describe(CFileSystemError::NotFound) + String(": ENOENT"));
  // A wrapper keeps the problem; an outer file-system error has its own.
  const zel::CIOError wrapper(zel::CIOError::Unknown, "wrapped", error.getProps(), &error);
  EXPECT_EQ(CFileSystemError::getProblem(wrapper.getProps()), CFileSystemError::NotFound);
  EXPECT_EQ(CFileSystemError(CFileSystemError::Locked, error).getProblem(),
            CFileSystemError::Locked);
  EXPECT_EQ(CFileSystemError::getProblem(CProps().add(CFileSystemError::kProblemKey, "junk")),
            CFileSystemError::Other);
}

// A file name may hold a line break; it must not start a forged log line. A sink that
// logs itself must neither wait for itself nor recurse.
TEST(ErrorsTest, LogLinesStayOneLineAndSinksMayLog) {
  zel::LogSink previous = zel::setLogSink(zel::LogSink());
  const CError error("two\nlines", "zel::Test", -1, CProps().add("path", "/a\nforged\r\x01"));
  testing::internal::CaptureStderr();
  zel::logError(error, "Load failed", "fleck\t3");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Load failed: two\\nlines [zel::Test] {path=/a\\nforged\\r\\x01} (fleck\\t3)\n");
  std::vector<std::string> lines;
  zel::setLogSink([&](const String& message, const std::exception& e, const String&) {
    lines.push_back(message.toUTF8() + ": " + e.what());
    zel::logError(CError("inner"), "from the sink", String());
  });
  testing::internal::CaptureStderr();
  zel::onExceptionInDestructorIgnored("fleck::CDisk", CError("flush failed"), true);
  zel::onExceptionInDestructorIgnored("fleck::CQuiet", CError("not logged"), false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "from the sink: inner\n");
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_NE(lines.at(0).find("fleck::CDisk"), std::string::npos) << lines[0];
  EXPECT_NE(lines.at(0).find("flush failed"), std::string::npos) << lines[0];
  zel::setLogSink(std::move(previous));
}

// The first and last code point of every UTF-8 length, both ways; what cannot be
// encoded becomes U+FFFD, and malformed input gives one U+FFFD per bad byte.
TEST(TextTest, UTF8AtEveryLengthBoundaryAndMalformedInput) {
  const std::u32string points = {0x0,    0x7F,   0x80,   0x7FF,   0x800,
                                 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  const std::string utf8(
      "\0\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
      "\xF4\x8F\xBF\xBF",
      26);
  const String text(points.begin(), points.end());
  EXPECT_EQ(text.toUTF8(), utf8);
  EXPECT_EQ(String::fromUTF8(utf8), text);
  const String unencodable = {0xD800, 0xDFFF, 0x110000, static_cast<wchar_t>(0xFFFFFFFF)};
  EXPECT_EQ(unencodable.toUTF8(), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::pair<const char*, const char*> malformed[] = {
      {"\xC0\xAF", "??"},
      {"\xE0\x80\xAF", "???"},
      {"\xF0\x8F\xBF\xBF", "????"},
      {"\xED\xA0\x80", "???"},
      {"\xF4\x90\x80\x80", "????"},
      {"\xF8\x88\x80\x80\x80", "?????"},
      {"\xFE\xFF", "??"},
      {"a\x80z", "a?z"},
      {"a\xC3", "a?"},
      {"\xE2\x82z", "??z"},
      {"\xC3\xC3\xA9", "?\xC3\xA9"},
  };
  for (const auto& [bytes, expected] : malformed) {
    String replaced = String::fromUTF8(expected);  // '?' for U+FFFD
    std::replace(replaced.begin(), replaced.end(), L'?', L'\xFFFD');
    EXPECT_EQ(String::fromUTF8(bytes), replaced) << expected;
  }
}

TEST(TextTest, ParseInt64TakesDecimalAndPrefixedHexOnly) {
  const std::tuple<const char*, bool, std::int64_t> good[] = {
      {"-0", false, 0},        {"+17", false, 17},
      {"000123", false, 123},  {"+9223372036854775807", false, INT64_MAX},
      {"+0xaBc", true, 0xABC}, {"-9223372036854775808", false, INT64_MIN},
      {"0XFF", true, 255},     {"-0x8000000000000000", true, INT64_MIN},
  };
  for (const auto& [text, hex, value] : good)
    EXPECT_EQ(zel::parseInt64(text, hex), value) << text;
  EXPECT_EQ(String::fromInt64(INT64_MIN), String("-9223372036854775808"));
  EXPECT_THROW(zel::parseInt64("0x10", false), zel::CError);
  for (const char* bad : {"", "+", " 1", "1\n", "1.0", "--1", "1-", "ff", "0x", "0x0x1",
                          "9223372036854775808", "-9223372036854775809", "0x8000000000000000"}) {
    try {
      zel::parseInt64(bad, true);
      ADD_FAILURE() << "parsed " << bad;
    } catch (const CError& e) {
      EXPECT_EQ(e.getProps().lookup("text"), String(bad));  // the text travels along
    }
  }
}

// Scheme, authority, components and kind of a location, in one line.
std::string describe(const CURI& uri) {
  std::string out = uri.getScheme().toUTF8() + "|" + uri.getAuthority().toUTF8() + "|";
  for (const String& component : uri.getComponents())
    out += component.toUTF8() + ",";
  return out + (uri.isAbsolute() ? "|absolute" : "") + (uri.isLocal() ? "|local" : "");
}

TEST(URITest, ParsesTheTextForms) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // text, parts, escaped text
      {"", "||", ""},
      {"/", "|||absolute|local", "/"},
      {"S3://Bucket/a/b", "s3|Bucket|a,b,|absolute", "s3://Bucket/a/b"},  // the scheme only
      {"s3://bucket", "s3|bucket||absolute", "s3://bucket/"},             // is case-blind
      {"../a/b", "||..,a,b,", "../a/b"},
      {"/a//b/", "||a,b,|absolute|local", "/a/b"},  // a folder has one text form
      {"c:/x", "||c:,x,", "c:/x"},
      {"1s://x", "||1s:,x,", "1s:/x"},
      {"FILE:///a/b", "||a,b,|absolute|local", "/a/b"},
      {"file://", "|||absolute|local", "/"},
      {"file://server/a", "file|server|a,|absolute", "file://server/a"},
      {"/a%2Fb/caf%C3%A9", "||a/b,caf\xC3\xA9,|absolute|local", "/a%2Fb/caf\xC3\xA9"},
      {"/100%/%zz/a%4", "||100%,%zz,a%4,|absolute|local", "/100%25/%25zz/a%254"},
      {"s3://a%2Fb/x", "s3|a/b|x,|absolute", "s3://a%2Fb/x"},
  };
  for (const auto& [text, parts, escaped] : cases) {
    EXPECT_EQ(describe(CURI(text)), parts) << text;
    EXPECT_EQ(CURI(text).toString(true), String(escaped)) << text;
  }
  const CURI odd = CURI("/") << "x/y"
                             << "50%"
                             << "l\ni";
  EXPECT_EQ(odd.toString(true), String("/x%2Fy/50%25/l%0Ai"));
  EXPECT_EQ(odd.toString(false), String("/x/y/50%/l\ni"));
}

TEST(URITest, AppendingNormalizingAndLocalPaths) {
  const CURI base("s3://bucket/a");
  EXPECT_EQ(describe(base << "b/c"), "s3|bucket|a,b/c,|absolute");
  EXPECT_EQ(describe((base << CURI("b/../../c")).toNormalized()), "s3|bucket|c,|absolute");
  EXPECT_EQ(CURI("a/../..").toNormalized(), CURI(".."));  // only a relative one keeps ".."
  EXPECT_EQ(CURI("/a/../../b").toNormalized(), CURI("/b"));
  EXPECT_THROW((void)(base << String()), zel::CInvalidArgError);
  EXPECT_THROW((void)(base << CURI("/etc")), zel::CInvalidArgError);
  EXPECT_EQ(CURI("file:///caf%C3%A9/x y").toLocalPath(), "/caf\xC3\xA9/x y");
  EXPECT_EQ(describe(CURI::fromLocalPath("/a/%41//")), "||a,%41,|absolute|local");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(CURI::fromLocalPath("x"), CURI::fromLocalPath(cwd) << "x");
  for (const CURI& bad : {CURI("s3://bucket/a"), CURI("file://server/a"), CURI("a/b"),
                          CURI("/") << "a/b", CURI("/") << String(L"a\0b", 3)})
    EXPECT_THROW(bad.toLocalPath(), zel::CInvalidArgError) << bad.toString(true);
}

// A child disk finds its parent through a relative location: from the base it must
// lead to the target, in its text form too.
TEST(URITest, RelativeLocationsLeadFromTheBaseToTheTarget) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // target, base, relative
      {"/a/b", "/a/b", "."},
      {"/a/b/c", "/a/b", "c"},
      {"/a", "/a/b/c", "../.."},
      {"/a/x/y", "/a/b/c", "../../x/y"},
      {"/", "/a", ".."},
      {"/a/./b/../b", "/a/b", "."},
      {"S3://b/x", "s3://b/y", "../x"},
      {"s3://b/a%2Fb", "s3://b/", "a%2Fb"},
      {"file:///a/c", "/a/b", "../c"},
  };
  for (const auto& [target, base, expected] : cases) {
    const CURI relative = CURI(target).toRelative(CURI(base));
    EXPECT_EQ(relative.toString(true), String(expected)) << target << " from " << base;
    EXPECT_EQ((CURI(base) << CURI(relative.toString(true))).toNormalized(),
              CURI(target).toNormalized())
        << target << " from " << base;
  }
  for (const char* other : {"s3://other/a", "http://bucket/a", "/a", "a/b"})
    EXPECT_THROW(CURI("s3://bucket/a").toRelative(CURI(other)), zel::CError) << other;
  EXPECT_THROW(CURI("a/b").toRelative(CURI("/a")), zel::CError);
}

}  // namespace
}  // namespace fleck::test
