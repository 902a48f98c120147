#pragma once

// Listeners, streams and small helpers shared by the file-system tests.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CSignal.h"
#include "zel/IFileSystem.h"
#include "zel/Log.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck_test {

using Bytes = std::vector<unsigned char>;

// Waits that end a hung test instead of blocking the run forever; never a timing check.
constexpr int kHangGuardMs = 120000;

// Set on a thread while it is inside a call that starts an asynchronous operation; a
// listener that finds it set on its own thread was called inline.
inline thread_local bool tInsideStartingCall = false;

// Calls `start` (which starts one asynchronous operation) with tInsideStartingCall set.
template <class Start>
zel::P<zel::IAsyncOperation> startOperation(Start&& start) {
  tInsideStartingCall = true;
  struct Reset {
    ~Reset() { tInsideStartingCall = false; }
  } reset;
  return start();
}

// Result code of an error as the tests compare it: -1 success, the problem of a
// zel::CFileSystemError, -2 any other error.
inline int problemOf(const zel::CError* error) {
  if (error == nullptr) return -1;
  if (const auto* fsError = dynamic_cast<const zel::CFileSystemError*>(error)) {
    return fsError->getProblem();
  }
  return -2;
}

// Records how it was told: how often, on which thread, whether inline, with what error.
// `hook`, when set, runs inside onDone after the recording.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  using Hook = std::function<void(const zel::CError* error)>;

  RecordingListener() = default;
  explicit RecordingListener(Hook hook) : hook(std::move(hook)) {}

  void onDone(const zel::CError* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (error != nullptr) saved = error->clone();
      thread = std::this_thread::get_id();
      ranInline = ranInline || tInsideStartingCall;
    }
    calls.fetch_add(1);
    if (hook) hook(error);
    told.set();
  }

  // Waits until told (guarded against hangs); false when it never was.
  bool waitTold() const { return told.wait(kHangGuardMs); }
  int getCalls() const { return calls.load(); }
  int getProblem() const {
    std::lock_guard<std::mutex> lock(mutex);
    return problemOf(saved.get());
  }
  zel::P<zel::CError> getError() const {
    std::lock_guard<std::mutex> lock(mutex);
    return saved;
  }
  std::thread::id getThread() const {
    std::lock_guard<std::mutex> lock(mutex);
    return thread;
  }
  bool wasInline() const {
    std::lock_guard<std::mutex> lock(mutex);
    return ranInline;
  }

 private:
  const Hook hook;
  mutable std::mutex mutex;  // guards saved, thread, ranInline
  zel::P<zel::CError> saved;
  std::thread::id thread;
  bool ranInline = false;
  std::atomic<int> calls{0};
  zel::CSignal told;
};

// Starts an operation with a fresh listener, waits for it and checks the promises that
// hold for every operation: told once, not inline, handle done. Returns the listener.
inline zel::P<RecordingListener> runOperation(
    const std::function<zel::P<zel::IAsyncOperation>(zel::IDoneListener*)>& start) {
  zel::P<RecordingListener> listener = zel::make<RecordingListener>();
  zel::P<zel::IAsyncOperation> operation = startOperation([&] { return start(listener.get()); });
  EXPECT_TRUE(operation->waitDone(kHangGuardMs));
  EXPECT_TRUE(operation->isDone());
  EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_FALSE(listener->wasInline());
  EXPECT_NE(listener->getThread(), std::this_thread::get_id());
  return listener;
}

// The problem a synchronous call fails with (-1: it did not fail, -2: another error).
inline int problemOfCall(const std::function<void()>& call) {
  try {
    call();
    return -1;
  } catch (const zel::CFileSystemError& e) {
    return e.getProblem();
  } catch (const zel::CError&) {
    return -2;
  }
}

// The CIOError code a call fails with (-1: it did not fail, -2: another error).
inline int ioCodeOfCall(const std::function<void()>& call) {
  try {
    call();
    return -1;
  } catch (const zel::CIOError& e) {
    return e.getIOCode();
  } catch (const zel::CError&) {
    return -2;
  }
}

// `size` pseudo-random bytes from `seed`.
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

// A stream that reads `bytes`.
inline zel::P<zel::IInStream> streamOf(const Bytes& bytes) {
  return zel::make<zel::CBufferStream>(
      zel::make<zel::TBuffer<unsigned char>>(bytes.data(), bytes.size()));
}

// A stream that delivers `goodBytes` of `bytes` and then throws what `fail` throws.
class FailingStream final : public zel::CBufferStream {
 public:
  FailingStream(const Bytes& bytes, std::size_t goodBytes, std::function<void()> fail)
      : zel::CBufferStream(zel::make<zel::TBuffer<unsigned char>>(bytes.data(), bytes.size())),
        goodBytes(goodBytes),
        fail(std::move(fail)) {}

  void read(void* buffer, int count) override {
    if (static_cast<std::size_t>(getPosition()) + static_cast<std::size_t>(count) > goodBytes) {
      fail();
    }
    zel::CBufferStream::read(buffer, count);
  }

 private:
  const std::size_t goodBytes;
  const std::function<void()> fail;
};

// Writes `bytes` as the whole file at `location` (CreateOrTruncate).
inline void writeFile(zel::IFileSystem& fs, const zel::CURI& location, const Bytes& bytes) {
  zel::P<zel::IIOStream> stream =
      fs.openStream(location, zel::IIOStream::AccessReadWrite, zel::IFileSystem::CreateOrTruncate);
  stream->write(bytes.data(), static_cast<int>(bytes.size()), nullptr);
  stream->close();
}

// The whole file at `location`.
inline Bytes readFile(zel::IFileSystem& fs, const zel::CURI& location) {
  zel::P<zel::IIOStream> stream =
      fs.openStream(location, zel::IIOStream::AccessRead, zel::IFileSystem::OpenExisting);
  Bytes bytes(static_cast<std::size_t>(stream->getLength()));
  stream->read(bytes.data(), static_cast<int>(bytes.size()));
  stream->close();
  return bytes;
}

// Collects what is logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous = zel::setLogSink(
        [this](const zel::String& message, const std::exception&, const zel::String& detail) {
          std::lock_guard<std::mutex> lock(mutex);
          lines.push_back(message + zel::String(" / ") + detail);
        });
  }
  ~LogCapture() { zel::setLogSink(previous); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<zel::String> getLines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

 private:
  zel::LogSink previous;
  mutable std::mutex mutex;  // guards lines
  std::vector<zel::String> lines;
};

}  // namespace fleck_test
