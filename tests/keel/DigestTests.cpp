#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "KeelTestSupport.h"
#include "keel/CDigestManager.h"
#include "keel/CDigestType_MD5.h"
#include "zel/CError.h"

using namespace keel_test;

namespace {

zel::P<keel::IDigest> makeDigest(const char* id) {
  zel::P<keel::IDigest> digest;
  keel::CDigestManager().getType(id)->createDigest(digest);
  return digest;
}

std::string hexResult(const keel::IDigest& digest) {
  return toHex(digest.getResult(), static_cast<std::size_t>(digest.getLength()));
}

std::string digestOf(keel::IDigest& digest, const std::string& message) {
  digest.reset();
  digest.update(message.data(), message.size());
  digest.finish();
  return hexResult(digest);
}

}  // namespace

TEST(DigestTest, MD5MatchesTheRFC1321TestSuite) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  // One object for all: each vector also checks that reset forgets the one before.
  zel::P<keel::IDigest> digest = makeDigest("md5");
  ASSERT_EQ(digest->getLength(), 16);
  for (const auto& [message, expected] : vectors) {
    EXPECT_EQ(digestOf(*digest, message), expected) << "message \"" << message << "\"";
  }
}

TEST(DigestTest, SHA256MatchesTheFIPS180Examples) {
  zel::P<keel::IDigest> digest = makeDigest("sha256");
  ASSERT_EQ(digest->getLength(), 32);
  EXPECT_EQ(digestOf(*digest, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  const std::string millionA(1000000, 'a');
  const std::string expected = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(digestOf(*digest, millionA), expected);
}

TEST(DigestTest, PiecesGiveTheSameResultAsOneUpdate) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  for (const char* id : {"md5", "sha256"}) {
    SCOPED_TRACE(id);
    zel::P<keel::IDigest> whole = makeDigest(id);
    zel::P<keel::IDigest> pieces = makeDigest(id);
    for (int round = 0; round < 20; ++round) {
      const Bytes message = randomBytes(random, random.randBelow(5000));
      whole->reset();
      whole->update(message.data(), message.size());
      whole->finish();

      pieces->reset();
      std::size_t done = 0;
      while (done < message.size()) {
        // Empty pieces included: they must change nothing.
        const std::size_t piece =
            random.randBelow(std::min<std::size_t>(message.size() - done, 200) + 1);
        pieces->update(message.data() + done, piece);
        done += piece;
      }
      pieces->update(nullptr, 0);
      pieces->finish();
      ASSERT_EQ(hexResult(*pieces), hexResult(*whole)) << "message length " << message.size();
    }
  }
}

TEST(DigestTest, CallsWorkInAnyOrder) {
  const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
  const std::string empty = "d41d8cd98f00b204e9800998ecf8427e";
  keel::CDigestType_MD5 type;  // directly owned, as some callers hold it
  zel::P<keel::IDigest> digest;
  type.createDigest(digest);

  // A new object has an empty message and no result yet.
  EXPECT_THROW(digest->getResult(), zel::CError);
  digest->finish();
  EXPECT_EQ(hexResult(*digest), empty);
  digest->finish();  // finish again keeps the result
  EXPECT_EQ(hexResult(*digest), empty);

  // update after finish starts a new message rather than continuing the old one.
  digest->update("a", 1);
  EXPECT_THROW(digest->getResult(), zel::CError);
  digest->update("bc", 2);
  digest->finish();
  EXPECT_EQ(hexResult(*digest), abc);

  // reset in the middle of a message forgets what came before.
  digest->update("xyz", 3);
  digest->reset();
  digest->update("abc", 3);
  digest->finish();
  EXPECT_EQ(hexResult(*digest), abc);
}

TEST(DigestManagerTest, FindsKnownTypesAndNamesUnknownIds) {
  keel::CDigestManager manager;
  EXPECT_EQ(manager.getType("md5")->getLength(), 16);
  EXPECT_EQ(manager.getType("sha256")->getLength(), 32);
  // Each call makes its own object: digests have one user each.
  zel::P<keel::IDigest> first;
  zel::P<keel::IDigest> second;
  manager.getType("sha256")->createDigest(first);
  manager.getType("sha256")->createDigest(second);
  EXPECT_NE(first.get(), second.get());

  for (const char* id : {"sha1", "MD5", ""}) {
    try {
      manager.getType(id);
      ADD_FAILURE() << "no error for \"" << id << "\"";
    } catch (const zel::CError& error) {
      EXPECT_EQ(error.getProps().lookup("id"), zel::String(id));
    }
  }
}
