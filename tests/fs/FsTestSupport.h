#pragma once

// Listeners, streams and small helpers of the file-system tests.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CSignal.h"
#include "zel/IFileSystem.h"
#include "zel/TBuffer.h"

namespace fleck::test {

using Bytes = std::vector<unsigned char>;

// Ends a hung test instead of blocking the run; never a timing check.
constexpr int kHangGuardMs = 120000;
// Result codes as the tests compare them: a CFileSystemError's problem, or these.
constexpr int kSuccess = -1;
constexpr int kOtherError = -2;

inline unsigned seedFromEnvironment(unsigned fallback) {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

// Set while a thread starts an asynchronous operation: a listener that finds it set was
// called inline.
inline thread_local bool tInsideStartingCall = false;

template <class Start>
zel::P<zel::IAsyncOperation> startOperation(Start&& start) {
  tInsideStartingCall = true;
  zel::P<zel::IAsyncOperation> operation = start();
  tInsideStartingCall = false;
  return operation;
}

inline int problemOf(const zel::CError* error) {
  if (error == nullptr) return kSuccess;
  const auto* fsError = dynamic_cast<const zel::CFileSystemError*>(error);
  return fsError != nullptr ? fsError->getProblem() : kOtherError;
}

// Records how often it was told, whether inline and with what error, then runs `hook`.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  using Hook = std::function<void(const zel::CError* error)>;
  explicit RecordingListener(Hook hook = nullptr) : hook(std::move(hook)) {}

  void onDone(const zel::CError* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (error != nullptr) saved = error->clone();
      ranInline = ranInline || tInsideStartingCall;
    }
    calls.fetch_add(1);
    if (hook) hook(error);
    told.set();
  }
  bool waitTold() const { return told.wait(kHangGuardMs); }
  int getCalls() const { return calls.load(); }
  int getProblem() const { return problemOf(getError().get()); }
  zel::P<zel::CError> getError() const {
    std::lock_guard<std::mutex> lock(mutex);
    return saved;
  }
  bool wasInline() const {
    std::lock_guard<std::mutex> lock(mutex);
    return ranInline;
  }

 private:
  const Hook hook;
  mutable std::mutex mutex;  // guards saved, ranInline
  zel::P<zel::CError> saved;
  bool ranInline = false;
  std::atomic<int> calls{0};
  zel::CSignal told;
};

// Starts an operation with a fresh listener, waits for it and checks what holds for
// every operation: done, told once, not inline.
inline zel::P<RecordingListener> runOperation(
    const std::function<zel::P<zel::IAsyncOperation>(zel::IDoneListener*)>& start) {
  auto listener = zel::make<RecordingListener>();
  EXPECT_TRUE(startOperation([&] { return start(listener.get()); })->waitDone(kHangGuardMs));
  EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_FALSE(listener->wasInline());
  return listener;
}

inline int problemOfCall(const std::function<void()>& call) {
  try {
    call();
    return kSuccess;
  } catch (const zel::CError& e) {
    return problemOf(&e);
  }
}

// The CIOError code a call fails with.
inline int ioCodeOfCall(const std::function<void()>& call) {
  try {
    call();
    return kSuccess;
  } catch (const zel::CIOError& e) {
    return e.getIOCode();
  } catch (const zel::CError&) {
    return kOtherError;
  }
}

inline Bytes makeBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes)
    b = static_cast<unsigned char>(random());
  return bytes;
}

inline Bytes textBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// A stream of `bytes` that calls `fail` (which throws) when a read passes `goodBytes`.
class SourceStream final : public zel::CBufferStream {
 public:
  explicit SourceStream(const Bytes& bytes, std::size_t goodBytes = SIZE_MAX,
                        std::function<void()> fail = nullptr)
      : zel::CBufferStream(zel::make<zel::TBuffer<unsigned char>>(bytes.data(), bytes.size())),
        goodBytes(goodBytes),
        fail(std::move(fail)) {}
  void read(void* buffer, int count) override {
    if (static_cast<std::size_t>(getPosition() + count) > goodBytes) fail();
    zel::CBufferStream::read(buffer, count);
  }

 private:
  const std::size_t goodBytes;
  const std::function<void()> fail;
};

inline zel::P<zel::IInStream> streamOf(const Bytes& bytes) {
  return zel::make<SourceStream>(bytes);
}

inline zel::P<RecordingListener> store(zel::IFileSystem& fs, const zel::CURI& target,
                                       const Bytes& bytes, bool replace) {
  return runOperation([&](zel::IDoneListener* listener) {
    return fs.storeStreamAsync(target, std::ssize(bytes), streamOf(bytes), replace, listener);
  });
}

inline void writeFile(zel::IFileSystem& fs, const zel::CURI& location, const Bytes& bytes,
                      int mode = zel::IFileSystem::CreateOrTruncate) {
  zel::P<zel::IIOStream> stream = fs.openStream(location, zel::IIOStream::AccessReadWrite, mode);
  stream->write(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  stream->close();
}

inline Bytes readFile(zel::IFileSystem& fs, const zel::CURI& location) {
  zel::P<zel::IIOStream> stream =
      fs.openStream(location, zel::IIOStream::AccessRead, zel::IFileSystem::OpenExisting);
  Bytes bytes(static_cast<std::size_t>(stream->getLength()));
  stream->read(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

}  // namespace fleck::test
