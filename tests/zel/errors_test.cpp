// The error classes, their property lists, and logging.

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CProps.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace {

using zel::CError;
using zel::CProps;
using zel::P;
using zel::String;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A class of the application's own, two levels below CError.
class CAppError final : public zel::CIOError {
 public:
  explicit CAppError(int detail) : CIOError(InvalidData, "app"), detail(detail) {}
  ZEL_ERROR_CLONE_OPERATIONS(CAppError)
  int detail;
};

// Throws `error`, catches it as CError, keeps a clone, and throws the clone from
// outside the handler; the most derived class must arrive.
template <class E>
void expectCloneKeepsClass(const E& error) {
  SCOPED_TRACE(typeid(E).name());
  P<CError> saved;
  try {
    throw error;
  } catch (const CError& e) {
    saved = e.clone();
    // Rethrowing from inside the handler keeps the class as well.
    try {
      e.throwClone();
    } catch (const E& again) {
      EXPECT_EQ(again.toString(), error.toString());
    } catch (...) {
      ADD_FAILURE() << "throwClone inside the handler lost the class";
    }
  }
  ASSERT_NE(saved.get(), nullptr);
  EXPECT_EQ(typeid(*saved), typeid(E));
  EXPECT_TRUE(saved->isHeapAllocated());
  try {
    saved->throwClone();
  } catch (const E& e) {
    EXPECT_EQ(e.toString(), error.toString());
    EXPECT_EQ(e.getCode(), error.getCode());
    EXPECT_EQ(e.getProps(), error.getProps());
    return;
  } catch (...) {
  }
  ADD_FAILURE() << "the clone was not thrown as its own class";
}

TEST(ErrorsTest, CloneAndThrowCloneKeepTheMostDerivedClass) {
  expectCloneKeepsClass(CError("plain", "source", 5, CProps().add("k", "v")));
  expectCloneKeepsClass(zel::CIOError(zel::CIOError::EndOfStream, "short", CProps().add("got", 3)));
  zel::CError cause("no such file", "open", 2, CProps().add("path", "/x"));
  expectCloneKeepsClass(zel::CFileSystemError(zel::CFileSystemError::NotFound, cause));
  expectCloneKeepsClass(zel::CInvalidArgError("f", "bad argument", CProps().add("arg", 1)));
  expectCloneKeepsClass(zel::CStdExceptionError(std::runtime_error("std failure")));
  expectCloneKeepsClass(CAppError(42));

  P<CError> saved = CAppError(7).clone();
  try {
    saved->throwClone();
  } catch (const CAppError& e) {
    EXPECT_EQ(e.detail, 7);
    EXPECT_EQ(e.getIOCode(), zel::CIOError::InvalidData);
  }
}

TEST(ErrorsTest, CauseChainsAreKeptAsClones) {
  P<CError> chain;
  {
    CError root("disk gone", "device", 19, CProps().add("device", "sda"));
    zel::CIOError middle(zel::CIOError::Unknown, "write failed", CProps().add("pos", 4096), &root);
    zel::CFileSystemError top(zel::CFileSystemError::Other, middle);
    chain = top.clone();
  }  // the originals are gone; the chain holds its own copies
  ASSERT_NE(chain.get(), nullptr);
  const CError* middle = chain->getCause();
  ASSERT_NE(middle, nullptr);
  ASSERT_NE(dynamic_cast<const zel::CIOError*>(middle), nullptr);
  EXPECT_EQ(middle->getMessage(), String("write failed"));
  const CError* root = middle->getCause();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->getMessage(), String("disk gone"));
  EXPECT_EQ(root->getCode(), 19);
  EXPECT_EQ(root->getCause(), nullptr);

  const std::string text = chain->what();
  EXPECT_TRUE(contains(text, "(caused by: write failed")) << text;
  EXPECT_TRUE(contains(text, "(caused by: disk gone [device, code 19] {device=sda}))")) << text;
}

TEST(ErrorsTest, WhatHoldsMessageSourceCodeAndProperties) {
  CError error("Cannot open", "zel::Test", 7, CProps().add("path", "/a b").add("size", -1));
  EXPECT_STREQ(error.what(), "Cannot open [zel::Test, code 7] {path=/a b, size=-1}");
  EXPECT_STREQ(CError("only a message").what(), "only a message");
  EXPECT_STREQ(CError("m", "", 3).what(), "m [code 3]");
  EXPECT_STREQ(CError("m", "src").what(), "m [src]");
  // Changing the error changes the text.
  error.getProps().add("size", 10);
  EXPECT_TRUE(contains(error.what(), "size=10"));
  CError assigned("other");
  assigned = error;
  EXPECT_STREQ(assigned.what(), error.what());
}

TEST(ErrorsTest, WhatFromSeveralThreads) {
  const CError error("shared", "src", 1, CProps().add("k", "v"));
  const std::string expected = error.what();
  std::latch ready(4);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ready.arrive_and_wait();
      for (int i = 0; i < 500; ++i) {
        if (expected != error.what()) ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ErrorsTest, PropertiesKeepOrderAndReplaceInPlace) {
  CProps props;
  props.add("b", "1").add("a", "2").add("c", 3);
  props.add("a", "replaced");
  EXPECT_EQ(props.toString(), String("b=1, a=replaced, c=3"));
  EXPECT_EQ(props.lookup("missing"), String());
  EXPECT_EQ(props.find("missing"), nullptr);

  CProps other;
  other.add("d", "4").add("b", "new");
  props.addAll(other);
  EXPECT_EQ(props.toString(), String("b=new, a=replaced, c=3, d=4"));
  const CProps before = props;
  props.addAll(props);
  EXPECT_EQ(props, before);

  props.add("int64", INT64_MIN).add("short", static_cast<short>(-5));
  EXPECT_EQ(props.lookup("int64"), String("-9223372036854775808"));
  EXPECT_EQ(props.lookup("short"), String("-5"));
  // Unsigned values past INT64_MAX keep their value.
  props.add("size", std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(props.lookup("size"), String("18446744073709551615"));
}

TEST(ErrorsTest, FileSystemProblemTravelsInTheProperties) {
  const CError cause("ENOENT", "open", 2, CProps().add("path", "/missing"));
  const zel::CFileSystemError error(zel::CFileSystemError::NotFound, cause);
  EXPECT_EQ(error.getProblem(), zel::CFileSystemError::NotFound);
  EXPECT_EQ(zel::CFileSystemError::getProblem(error.getProps()), zel::CFileSystemError::NotFound);
  // The cause's properties come along, and its message is part of this one.
  EXPECT_EQ(error.getProps().lookup("path"), String("/missing"));
  EXPECT_EQ(error.getMessage(),
            zel::CFileSystemError::describe(zel::CFileSystemError::NotFound) + String(": ENOENT"));

  // A wrapped file-system error keeps its problem in the wrapper's properties.
  const zel::CIOError wrapper(zel::CIOError::Unknown, "wrapped", error.getProps(), &error);
  EXPECT_EQ(zel::CFileSystemError::getProblem(wrapper.getProps()), zel::CFileSystemError::NotFound);
  // A file-system error caused by another one reports its own problem.
  const zel::CFileSystemError outer(zel::CFileSystemError::Unsupported, error);
  EXPECT_EQ(zel::CFileSystemError::getProblem(outer.getProps()),
            zel::CFileSystemError::Unsupported);
  // Properties without the problem, or with garbage, give Other.
  EXPECT_EQ(zel::CFileSystemError::getProblem(CProps()), zel::CFileSystemError::Other);
  EXPECT_EQ(zel::CFileSystemError::getProblem(
                CProps().add(zel::CFileSystemError::kProblemKey, "garbage")),
            zel::CFileSystemError::Other);
}

TEST(ErrorsTest, StandardExceptionsBecomeErrors) {
  P<CError> wrapped = zel::CStdExceptionError::exceptionToError(std::out_of_range("index 5"));
  ASSERT_NE(dynamic_cast<zel::CStdExceptionError*>(wrapped.get()), nullptr);
  EXPECT_EQ(wrapped->getMessage(), String("index 5"));
  EXPECT_EQ(wrapped->getProps().lookup("exceptionType"), String(typeid(std::out_of_range).name()));

  // An error stays what it was, as a copy.
  const zel::CIOError io(zel::CIOError::StreamClosed);
  P<CError> kept = zel::CStdExceptionError::exceptionToError(io);
  ASSERT_NE(dynamic_cast<zel::CIOError*>(kept.get()), nullptr);
  EXPECT_NE(kept.get(), &io);
}

// Installs a sink for the scope of a test and restores the one before.
class ScopedSink {
 public:
  explicit ScopedSink(zel::LogSink sink) : previous(zel::setLogSink(std::move(sink))) {}
  ~ScopedSink() { zel::setLogSink(std::move(previous)); }

 private:
  zel::LogSink previous;
};

struct LoggedLine {
  String message;
  std::string errorText;
  String detail;
};

TEST(ErrorsTest, DefaultSinkWritesOneLineToStandardError) {
  const ScopedSink defaultSink{zel::LogSink()};
  const CError error("Cannot read", "zel::Test", -1, CProps().add("path", "/x"));
  testing::internal::CaptureStderr();
  zel::logError(error, "Load failed", "fleck 3");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Load failed: Cannot read [zel::Test] {path=/x} (fleck 3)\n");
}

TEST(ErrorsTest, DefaultSinkKeepsOutsideTextOnOneLine) {
  const ScopedSink defaultSink{zel::LogSink()};
  // A file name may hold a line break; it must not start a forged log line.
  const CError error("two\nlines", "", -1, CProps().add("path", "/a\nforged: entry\r\x01\t"));
  testing::internal::CaptureStderr();
  zel::logError(error, "Load failed", "tab\there");
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_EQ(written,
            "Load failed: two\\nlines {path=/a\\nforged: entry\\r\\x01\\t} (tab\\there)\n");
  // Sinks of their own still get the text as it is.
  std::string seen;
  {
    const ScopedSink sink(
        [&](const String&, const std::exception& e, const String&) { seen = e.what(); });
    zel::logError(error, "Load failed", String());
  }
  EXPECT_EQ(seen, error.what());
  EXPECT_NE(seen.find('\n'), std::string::npos);
}

TEST(ErrorsTest, AFailingSinkIsReportedNotSpread) {
  const ScopedSink failing([](const String&, const std::exception&, const String&) {
    throw std::runtime_error("sink broke");
  });
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(zel::logError(CError("x"), "y", String()));
  EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "log sink failed"));
}

TEST(ErrorsTest, ASinkThatLogsItselfDoesNotWaitForItself) {
  int calls = 0;
  const ScopedSink sink([&](const String& message, const std::exception&, const String&) {
    ++calls;
    // As code called by a sink might: this must neither deadlock nor recurse.
    zel::logError(CError("inner"), String("from the sink: ") + message, String());
  });
  testing::internal::CaptureStderr();
  zel::logError(CError("outer"), "first", String());
  zel::logError(CError("outer"), "second", String());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "from the sink: first: inner\nfrom the sink: second: inner\n");
  EXPECT_EQ(calls, 2);
}

TEST(ErrorsTest, InstalledSinkGetsLoggedErrorsAndDestructorFailures) {
  std::vector<LoggedLine> lines;
  const ScopedSink sink(
      [&](const String& message, const std::exception& error, const String& detail) {
        lines.push_back({message, error.what(), detail});
      });
  zel::onExceptionInDestructorIgnored("fleck::CDisk", CError("flush failed"), true);
  zel::onExceptionInDestructorIgnored("fleck::CQuiet", CError("not logged"), false);
  zel::logError(zel::CIOError(zel::CIOError::EndOfStream, "short"), "Reading", "while testing");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(contains(lines[0].message.toUTF8(), "fleck::CDisk")) << lines[0].message;
  EXPECT_EQ(lines[0].errorText, "flush failed");
  EXPECT_EQ(lines[1].errorText, "short [code 4]");
  EXPECT_EQ(lines[1].detail, String("while testing"));
}

}  // namespace
