// Error classes and the words they carry, logging, UTF-8 text and numbers, locations.

#include <gtest/gtest.h>
#include <unistd.h>

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

// A clone, thrown later from outside any handler, arrives as the most derived class.
TEST(ErrorsTest, ClonesKeepTheirClassAndCauses) {
  const CError root("disk gone", "device", 19, CProps().add("device", "sda"));
  const zel::CIOError io(zel::CIOError::EndOfStream, "write failed", CProps().add("pos", 4), &root);
  const zel::CFileSystemError fs(zel::CFileSystemError::NotFound, io);
  const zel::CInvalidArgError arg("f", "bad argument", CProps().add("arg", 1));
  const zel::CStdExceptionError fromStd(std::runtime_error("std failure"));
  for (const CError* error :
       std::initializer_list<const CError*>{&root, &io, &fs, &arg, &fromStd}) {
    P<CError> saved = error->clone();
    EXPECT_TRUE(saved->isHeapAllocated());
    try {
      saved->throwClone();
    } catch (const CError& thrown) {
      EXPECT_EQ(typeid(thrown), typeid(*error));
      EXPECT_EQ(thrown.toString(), error->toString());
    }
  }
  P<CError> chain = fs.clone();  // holds copies of its causes
  ASSERT_NE(dynamic_cast<const zel::CIOError*>(chain->getCause()), nullptr);
  EXPECT_EQ(chain->getCause()->getCause()->getCode(), 19);
  EXPECT_NE(
      std::string(chain->what()).find("(caused by: disk gone [device, code 19] {device=sda})"),
      std::string::npos)
      << chain->what();

  // Standard exceptions become errors; an error stays what it was.
  P<CError> wrapped = zel::CStdExceptionError::exceptionToError(std::out_of_range("index 5"));
  EXPECT_NE(dynamic_cast<zel::CStdExceptionError*>(wrapped.get()), nullptr);
  EXPECT_EQ(wrapped->getMessage(), String("index 5"));
  EXPECT_NE(dynamic_cast<zel::CIOError*>(zel::CStdExceptionError::exceptionToError(io).get()),
            nullptr);
}

TEST(ErrorsTest, WhatHoldsMessageSourceCodeAndProperties) {
  const struct {
    CError error;
    const char* what;
  } cases[] = {
      {CError("Cannot open", "zel::Test", 7, CProps().add("path", "/a b").add("size", -1)),
       "Cannot open [zel::Test, code 7] {path=/a b, size=-1}"},
      {CError("only a message"), "only a message"},
      {CError("m", "", 3), "m [code 3]"},
      {CError("m", "src"), "m [src]"},
      {zel::CIOError(zel::CIOError::EndOfStream, "short"), "short [code 4]"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.error.what(), c.what);

  CProps props;
  props.add("b", "1").add("a", "2").add("c", 3).add("a", "replaced");
  props.addAll(CProps().add("d", "4").add("b", "new"));
  props.add("max", std::numeric_limits<std::size_t>::max()).add("min", INT64_MIN);
  EXPECT_EQ(props.toString(), String("b=new, a=replaced, c=3, d=4, max=18446744073709551615, "
                                     "min=-9223372036854775808"));
  EXPECT_EQ(props.lookup("missing"), String());
}

TEST(ErrorsTest, FileSystemProblemTravelsInTheProperties) {
  using zel::CFileSystemError;
  const CError cause("ENOENT", "open", 2, CProps().add("path", "/missing"));
  const CFileSystemError error(CFileSystemError::NotFound, cause);
  EXPECT_EQ(error.getProblem(), CFileSystemError::NotFound);
  EXPECT_EQ(error.getProps().lookup("path"), String("/missing"));
  EXPECT_EQ(error.getMessage(),
            CFileSystemError::describe(CFileSystemError::NotFound) + String(": ENOENT"));
  // A wrapper keeps the problem; an outer file-system error has its own.
  const zel::CIOError wrapper(zel::CIOError::Unknown, "wrapped", error.getProps(), &error);
  EXPECT_EQ(CFileSystemError::getProblem(wrapper.getProps()), CFileSystemError::NotFound);
  EXPECT_EQ(CFileSystemError(CFileSystemError::Locked, error).getProblem(),
            CFileSystemError::Locked);
  EXPECT_EQ(CFileSystemError::getProblem(CProps()), CFileSystemError::Other);
  EXPECT_EQ(CFileSystemError::getProblem(CProps().add(CFileSystemError::kProblemKey, "junk")),
            CFileSystemError::Other);
}

class ScopedSink {
 public:
  explicit ScopedSink(zel::LogSink sink) : previous(zel::setLogSink(std::move(sink))) {}
  ~ScopedSink() { zel::setLogSink(std::move(previous)); }

 private:
  zel::LogSink previous;
};

TEST(ErrorsTest, LogLinesStayOneLineAndSinksCannotBreakLogging) {
  {
    const ScopedSink defaultSink{zel::LogSink()};
    // A file name may hold a line break; it must not start a forged log line.
    const CError error("two\nlines", "zel::Test", -1, CProps().add("path", "/a\nforged\r\x01"));
    testing::internal::CaptureStderr();
    zel::logError(error, "Load failed", "fleck\t3");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Load failed: two\\nlines [zel::Test] {path=/a\\nforged\\r\\x01} (fleck\\t3)\n");
  }
  {
    const ScopedSink failing([](const String&, const std::exception&, const String&) {
      throw std::runtime_error("sink broke");
    });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(zel::logError(CError("x"), "y", String()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("log sink failed"), std::string::npos);
  }
  std::vector<std::string> lines;
  const ScopedSink sink([&](const String& message, const std::exception& e, const String&) {
    lines.push_back(message.toUTF8() + ": " + e.what());
    zel::logError(CError("inner"), "from the sink", String());  // neither waits nor recurses
  });
  testing::internal::CaptureStderr();
  zel::onExceptionInDestructorIgnored("fleck::CDisk", CError("flush failed"), true);
  zel::onExceptionInDestructorIgnored("fleck::CQuiet", CError("not logged"), false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "from the sink: inner\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("fleck::CDisk"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("flush failed"), std::string::npos) << lines[0];
}

TEST(TextTest, UTF8BothWaysAtEveryLengthBoundary) {
  const struct {
    std::uint32_t codePoint;
    std::string utf8;
  } cases[] = {
      {0x00, std::string(1, '\0')},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xD7FF, "\xED\x9F\xBF"},
      {0xE000, "\xEE\x80\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    const String text(1, static_cast<wchar_t>(c.codePoint));
    EXPECT_EQ(text.toUTF8(), c.utf8) << std::hex << c.codePoint;
    EXPECT_EQ(String::fromUTF8(c.utf8), text) << std::hex << c.codePoint;
  }
  // What cannot be encoded becomes U+FFFD.
  for (std::uint32_t bad : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu})
    EXPECT_EQ(String(1, static_cast<wchar_t>(bad)).toUTF8(), "\xEF\xBF\xBD") << bad;
}

TEST(TextTest, MalformedUTF8GivesOneReplacementPerBadByte) {
  const struct {
    const char* bytes;
    const char* expected;  // '?' for U+FFFD
  } cases[] = {
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
  for (const auto& c : cases) {
    String expected = String::fromUTF8(c.expected);
    for (auto& ch : expected)
      ch = ch == L'?' ? 0xFFFD : ch;
    EXPECT_EQ(String::fromUTF8(c.bytes), expected) << c.expected;
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

std::vector<String> parts(std::initializer_list<const char*> list) {
  return std::vector<String>(list.begin(), list.end());
}

TEST(URITest, ParsesTheTextForms) {
  const struct {
    const char* text;
    const char* scheme;
    const char* authority;
    std::vector<String> components;
    bool absolute;
    bool local;
    const char* escaped;
  } cases[] = {
      {"", "", "", {}, false, false, ""},
      {"/", "", "", {}, true, true, "/"},
      {"S3://Bucket/a/b", "s3", "Bucket", parts({"a", "b"}), true, false, "s3://Bucket/a/b"},
      {"s3://bucket", "s3", "bucket", {}, true, false, "s3://bucket/"},
      {"../a/b", "", "", parts({"..", "a", "b"}), false, false, "../a/b"},
      {"/a//b/", "", "", parts({"a", "b"}), true, true, "/a/b"},
      {"c:/x", "", "", parts({"c:", "x"}), false, false, "c:/x"},
      {"1s://x", "", "", parts({"1s:", "x"}), false, false, "1s:/x"},
      {"FILE:///a/b", "", "", parts({"a", "b"}), true, true, "/a/b"},
      {"file://", "", "", {}, true, true, "/"},
      {"file://server/a", "file", "server", parts({"a"}), true, false, "file://server/a"},
      {"/a%2Fb/caf%C3%A9", "", "", parts({"a/b", "caf\xC3\xA9"}), true, true, "/a%2Fb/caf\xC3\xA9"},
      {"/100%/%zz/a%4", "", "", parts({"100%", "%zz", "a%4"}), true, true, "/100%25/%25zz/a%254"},
      {"s3://a%2Fb/x", "s3", "a/b", parts({"x"}), true, false, "s3://a%2Fb/x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const CURI uri(c.text);
    EXPECT_EQ(uri.getScheme(), String(c.scheme));
    EXPECT_EQ(uri.getAuthority(), String(c.authority));
    EXPECT_EQ(uri.getComponents(), c.components);
    EXPECT_EQ(uri.isAbsolute(), c.absolute);
    EXPECT_EQ(uri.isLocal(), c.local);
    EXPECT_EQ(uri.toString(true), String(c.escaped));
  }
  const CURI odd = CURI("/") << "x/y"
                             << "50%"
                             << "l\ni";
  EXPECT_EQ(odd.toString(true), String("/x%2Fy/50%25/l%0Ai"));
  EXPECT_EQ(odd.toString(false), String("/x/y/50%/l\ni"));
}

TEST(URITest, AppendingNormalizingParentsAndLocalPaths) {
  const CURI base("s3://bucket/a");
  EXPECT_EQ((base << "b/c").getComponents(), parts({"a", "b/c"}));
  EXPECT_EQ((base << CURI("b/c")).getComponents(), parts({"a", "b", "c"}));
  EXPECT_EQ(base << CURI(), base);
  EXPECT_THROW((void)(base << String()), zel::CInvalidArgError);
  EXPECT_THROW((void)(base << CURI("/etc")), zel::CInvalidArgError);
  const std::pair<const char*, const char*> normal[] = {
      {"/a/./b/../c", "/a/c"}, {"/a/../../b", "/b"}, {"s3://x/../a", "s3://x/a"},
      {"a/../..", ".."},       {"a/..", ""},
  };
  for (const auto& [text, expected] : normal)
    EXPECT_EQ(CURI(text).toNormalized(), CURI(expected)) << text;
  EXPECT_EQ(CURI("/a").getParent(), CURI("/"));
  EXPECT_EQ(CURI("/").getParent(), CURI("/"));
  EXPECT_EQ(CURI("s3://bucket/").getParent(), CURI("s3://bucket/"));
  EXPECT_TRUE(CURI("a").getParent().isEmpty());

  EXPECT_EQ(CURI("file:///caf%C3%A9/x y").toLocalPath(), "/caf\xC3\xA9/x y");
  EXPECT_EQ(CURI::fromLocalPath("/a/%41//").getComponents(), parts({"a", "%41"}));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(CURI::fromLocalPath("x"), CURI::fromLocalPath(cwd) << "x");
  for (const CURI& bad : {CURI("s3://bucket/a"), CURI("file://server/a"), CURI("a/b"), CURI(),
                          CURI("/") << "a/b", CURI("/") << String(L"a\0b", 3)})
    EXPECT_THROW(bad.toLocalPath(), zel::CInvalidArgError) << bad.toString(true);
}

// A child disk finds its parent through a relative location: from the base it must
// lead to the target, in its text form too.
TEST(URITest, RelativeLocationsLeadFromTheBaseToTheTarget) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b", "/a/b"},
      {"/a/b/c", "/a/b"},
      {"/a", "/a/b/c"},
      {"/a/x/y", "/a/b/c"},
      {"/", "/a"},
      {"/a/./b/../b", "/a/b"},
      {"s3://b/x", "S3://b/y"},
      {"s3://b/a%2Fb", "s3://b/"},
      {"file:///a/c", "/a/b"},
  };
  for (const auto& [target, base] : cases) {
    const CURI relative = CURI(target).toRelative(CURI(base));
    EXPECT_FALSE(relative.isAbsolute() || relative.isEmpty()) << target;
    EXPECT_EQ((CURI(base) << CURI(relative.toString(true))).toNormalized(),
              CURI(target).toNormalized())
        << target << " from " << base << ": " << relative.toString(true);
  }
  EXPECT_EQ(CURI("/a/b").toRelative(CURI("/a/b")).toString(true), String("."));
  EXPECT_EQ(CURI("/a/x/y").toRelative(CURI("/a/b/c")).toString(true), String("../../x/y"));
  for (const char* other : {"s3://other/a", "http://bucket/a", "/a", "a/b"})
    EXPECT_THROW(CURI("s3://bucket/a").toRelative(CURI(other)), zel::CError) << other;
  EXPECT_THROW(CURI("a/b").toRelative(CURI("/a")), zel::CError);
}

}  // namespace
}  // namespace fleck::test
