// zel::CURI: parsing, text forms, normalisation and relative locations, partly as
// properties checked on seeded random locations.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CURI.h"

namespace {

using zel::CURI;
using zel::String;

std::uint64_t testSeed() {
  const char* text = std::getenv("ZEL_TEST_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : 20240501;
}

std::vector<String> components(std::initializer_list<const char*> list) {
  std::vector<String> out;
  for (const char* c : list)
    out.emplace_back(c);
  return out;
}

// Makes random locations from the public operations only.
class RandomLocations {
 public:
  explicit RandomLocations(std::uint64_t seed) : random(seed) {}

  String component() {
    switch (pick(12)) {
      case 0:
        return ".";
      case 1:
        return "..";
      case 2:
        return "a";  // short and common, so that locations share prefixes
      default:
        break;
    }
    static const wchar_t pieces[] = {L'a', L'b', L'Z', L'0',  L'%', L'/',   L' ',    L'.',
                                     L':', L'?', L'#', L'\\', 0xE9, 0x65E5, 0x1F600, 0x0A,
                                     0x01, 0x7F, 0x1F, L'~',  L'+', L'='};
    String out;
    const std::size_t length = 1 + pick(6);
    for (std::size_t i = 0; i < length; ++i)
      out.push_back(pieces[pick(std::size(pieces))]);
    // '%' followed by hex digits must come back as written, not decoded.
    if (pick(4) == 0) out += L"%41";
    return out;
  }

  // Text of an authority, escaped the way the text form requires.
  String escapedAuthority() {
    static const char* pieces[] = {
        "bucket", "host", "h.example", "10.0.0.1:8080", "user@h", "%2F", "%25", "%C3%A9", "B"};
    String out;
    const std::size_t count = pick(3);
    for (std::size_t i = 0; i < count; ++i)
      out += String(pieces[pick(std::size(pieces))]);
    return out;
  }

  // The start of a location: relative (empty), local root, or scheme and authority.
  CURI root() {
    switch (pick(4)) {
      case 0:
        return CURI();
      case 1:
        return CURI(String("/"));
      case 2:
        return CURI(String("s3://") + escapedAuthority());
      default: {
        static const char* schemes[] = {"http", "File", "x-y.z+1", "S3"};
        String authority = escapedAuthority();
        return CURI(String(schemes[pick(std::size(schemes))]) + String("://") + authority +
                    String("/"));
      }
    }
  }

  CURI extend(CURI uri, std::size_t maxMore) {
    const std::size_t more = pick(maxMore + 1);
    for (std::size_t i = 0; i < more; ++i)
      uri = uri << component();
    return uri;
  }

  CURI location() { return extend(root(), 6); }

  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(random() % n); }

 private:
  std::mt19937_64 random;
};

#define SEED_TRACE(seed) \
  SCOPED_TRACE(testing::Message() << "seed " << (seed) << " (set ZEL_TEST_SEED to repeat)")

TEST(URITest, EscapedTextParsesBackToAnEqualLocation) {
  const auto seed = testSeed();
  SEED_TRACE(seed);
  RandomLocations random(seed);
  for (int i = 0; i < 5000; ++i) {
    const CURI uri = random.location();
    const String text = uri.toString(true);
    ASSERT_EQ(CURI(text), uri) << "round " << i << ": " << text;
    // Readable text has the components as they are.
    if (!uri.getComponents().empty()) {
      EXPECT_TRUE(uri.toString(false).endsWith(uri.getName())) << "round " << i;
    }
  }
}

TEST(URITest, NormalizingIsIdempotentAndRemovesDots) {
  const auto seed = testSeed();
  SEED_TRACE(seed);
  RandomLocations random(seed);
  for (int i = 0; i < 5000; ++i) {
    const CURI uri = random.location();
    const CURI normal = uri.toNormalized();
    ASSERT_EQ(normal.toNormalized(), normal) << "round " << i << ": " << uri.toString(true);
    ASSERT_EQ(CURI(normal.toString(true)), normal) << "round " << i;
    EXPECT_EQ(normal.isAbsolute(), uri.isAbsolute());
    bool leading = true;
    for (const auto& c : normal.getComponents()) {
      EXPECT_NE(c, String("."));
      if (c == String("..")) {
        // Only a relative location keeps "..", and only in front.
        EXPECT_FALSE(normal.isAbsolute()) << "round " << i;
        EXPECT_TRUE(leading) << "round " << i;
      } else {
        leading = false;
      }
    }
  }
}

TEST(URITest, RelativeLocationLeadsFromTheBaseToTheTarget) {
  const auto seed = testSeed();
  SEED_TRACE(seed);
  RandomLocations random(seed);
  int tried = 0;
  for (int i = 0; tried < 5000; ++i) {
    CURI root = random.root();
    if (!root.isAbsolute()) continue;
    ++tried;
    // Share a prefix often, so that every split of the common part is tried.
    const CURI common = random.extend(root, 3);
    const CURI base = random.extend(common, 3);
    const CURI target = random.extend(common, 3);
    const CURI relative = target.toRelative(base);
    SCOPED_TRACE(testing::Message()
                 << "round " << i << ": base " << base.toString(true) << " target "
                 << target.toString(true) << " relative " << relative.toString(true));
    ASSERT_FALSE(relative.isAbsolute());
    ASSERT_FALSE(relative.isEmpty());
    ASSERT_EQ((base << relative).toNormalized(), target.toNormalized());
    // The relative location survives its text form too.
    ASSERT_EQ(CURI(relative.toString(true)), relative);
    ASSERT_EQ((base << CURI(relative.toString(true))).toNormalized(), target.toNormalized());
  }
}

TEST(URITest, ToRelativeRefusesUnrelatedLocations) {
  const CURI local("/a/b");
  const CURI s3("s3://bucket/a/b");
  EXPECT_THROW(local.toRelative(s3), zel::CError);
  EXPECT_THROW(s3.toRelative(CURI("s3://other/a/b")), zel::CError);
  EXPECT_THROW(s3.toRelative(CURI("http://bucket/a/b")), zel::CError);
  EXPECT_THROW(CURI("a/b").toRelative(local), zel::CError);
  EXPECT_THROW(local.toRelative(CURI("a/b")), zel::CError);
  // The scheme is compared after normalising; "file:///" is the local root.
  EXPECT_EQ(CURI("S3://bucket/x").toRelative(s3), CURI("../../x"));
  EXPECT_EQ(CURI("file:///a/c").toRelative(local), CURI("../c"));
}

TEST(URITest, EqualFoldersGiveDotAndDotLeadsBack) {
  for (const char* text : {"/", "/a/b", "s3://bucket/", "s3://bucket/x/y", "/a/./b/../b"}) {
    SCOPED_TRACE(text);
    const CURI base(text);
    const CURI same = base.toRelative(base);
    EXPECT_EQ(same.getComponents(), components({"."}));
    EXPECT_EQ(same.toString(true), String("."));
    EXPECT_EQ((base << same).toNormalized(), base.toNormalized());
    EXPECT_EQ((base << String(".")).toNormalized(), base.toNormalized());
  }
  EXPECT_EQ(CURI("/a/b/c").toRelative(CURI("/a/b")).toString(true), String("c"));
  EXPECT_EQ(CURI("/a").toRelative(CURI("/a/b/c")).toString(true), String("../.."));
  EXPECT_EQ(CURI("/a/x/y").toRelative(CURI("/a/b/c")).toString(true), String("../../x/y"));
  EXPECT_EQ(CURI("/").toRelative(CURI("/a")).toString(true), String(".."));
}

TEST(URITest, ParsesTheTextForms) {
  EXPECT_TRUE(CURI("").isEmpty());
  const CURI root("/");
  EXPECT_TRUE(root.isLocal());
  EXPECT_TRUE(root.getComponents().empty());

  const CURI s3("S3://Bucket/a/b");
  EXPECT_FALSE(s3.isLocal());
  EXPECT_EQ(s3.getScheme(), String("s3"));
  EXPECT_EQ(s3.getAuthority(), String("Bucket"));  // only the scheme is case-blind
  EXPECT_EQ(s3.getComponents(), components({"a", "b"}));
  EXPECT_EQ(s3.toString(true), String("s3://Bucket/a/b"));
  EXPECT_EQ(CURI("s3://bucket"), CURI("s3://bucket/"));

  const CURI relative("../a/b");
  EXPECT_FALSE(relative.isAbsolute());
  EXPECT_FALSE(relative.isLocal());
  EXPECT_EQ(relative.getComponents(), components({"..", "a", "b"}));

  // Empty components are dropped, so a folder has one text form.
  EXPECT_EQ(CURI("/a//b/"), CURI("/a/b"));
  // Text that only looks a little like a scheme is a path.
  EXPECT_EQ(CURI("c:/x").getComponents(), components({"c:", "x"}));
  EXPECT_FALSE(CURI("1s://x").isAbsolute());

  // "file" without an authority is the local file system; with one, another machine's.
  EXPECT_EQ(CURI("FILE:///a/b"), CURI("/a/b"));
  EXPECT_EQ(CURI("file://"), CURI("/"));
  EXPECT_FALSE(CURI("file://server/a").isLocal());
}

TEST(URITest, EscapesInTheTextForm) {
  EXPECT_EQ(CURI("/a%2Fb/c").getComponents(), components({"a/b", "c"}));
  EXPECT_EQ(CURI("/caf%C3%A9").getName(), String("caf\xC3\xA9"));
  // '%' without two hex digits stays as it is.
  EXPECT_EQ(CURI("/100%").getName(), String("100%"));
  EXPECT_EQ(CURI("/%zz").getName(), String("%zz"));
  EXPECT_EQ(CURI("/a%4").getName(), String("a%4"));
  EXPECT_EQ(CURI("s3://a%2Fb/x").getAuthority(), String("a/b"));

  const CURI odd = CURI("/") << String("x/y") << String("50%") << String("l\ni\x01ne");
  EXPECT_EQ(odd.toString(true), String("/x%2Fy/50%25/l%0Ai%01ne"));
  EXPECT_EQ(odd.toString(false), String("/x/y/50%/l\ni\x01ne"));
}

TEST(URITest, AppendingComponentsRelativeLocationsAndParents) {
  const CURI base("s3://bucket/a");
  EXPECT_EQ((base << String("b/c")).getComponents(), components({"a", "b/c"}));
  EXPECT_EQ(base.getComponents(), components({"a"}));  // operations never change their object
  EXPECT_THROW((void)(base << String()), zel::CInvalidArgError);

  EXPECT_EQ((base << CURI("b/c")).getComponents(), components({"a", "b", "c"}));
  EXPECT_EQ((base << CURI("../c")).toNormalized(), CURI("s3://bucket/c"));
  EXPECT_EQ(base << CURI(), base);
  try {
    (void)(base << CURI("/etc"));
    ADD_FAILURE() << "appended an absolute location";
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getProps().lookup("appended"), String("/etc"));
  }

  EXPECT_EQ(CURI("/a").getParent(), CURI("/"));
  EXPECT_EQ(CURI("/").getParent(), CURI("/"));
  EXPECT_EQ(CURI("s3://bucket/").getParent(), CURI("s3://bucket/"));
  EXPECT_TRUE(CURI("a").getParent().isEmpty());
}

TEST(URITest, NormalizingDots) {
  EXPECT_EQ(CURI("/a/./b/../c").toNormalized(), CURI("/a/c"));
  EXPECT_EQ(CURI("/a/../../b").toNormalized(), CURI("/b"));
  EXPECT_EQ(CURI("s3://x/../a").toNormalized(), CURI("s3://x/a"));
  EXPECT_EQ(CURI("a/../..").toNormalized(), CURI(".."));
  EXPECT_TRUE(CURI("a/..").toNormalized().isEmpty());
}

TEST(URITest, LocalPaths) {
  EXPECT_EQ(CURI("file:///caf%C3%A9/x y").toLocalPath(), "/caf\xC3\xA9/x y");
  EXPECT_EQ(CURI::fromLocalPath("/caf\xC3\xA9/%41//").getComponents(),
            components({"caf\xC3\xA9", "%41"}));  // no escapes in a local path

  std::string cwd(4096, '\0');
  ASSERT_NE(::getcwd(cwd.data(), cwd.size()), nullptr);
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  EXPECT_EQ(CURI::fromLocalPath("x/y"), CURI::fromLocalPath(cwd) << "x"
                                                                 << "y");
  EXPECT_EQ(CURI::fromLocalPath(""), CURI::fromLocalPath(cwd));

  // Only a local absolute location whose names hold no '/' and no NUL has a path.
  for (const CURI& bad : {CURI("s3://bucket/a"), CURI("file://server/a"), CURI("a/b"), CURI(),
                          CURI("/") << String("a/b"), CURI("/") << String(L"a\0b", 3)}) {
    SCOPED_TRACE(bad.toString(true));
    EXPECT_THROW(bad.toLocalPath(), zel::CInvalidArgError);
  }
}

}  // namespace
