#pragma once

// Helpers of the file-system tests, and the contract of zel::IFileSystem as a suite that
// every implementation joins with
//   INSTANTIATE_TEST_SUITE_P(Mine, FileSystemConformance,
//                            ::testing::Values(FileSystemKind{"Mine", makeMine}), kindName);

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zel/CBufferStream.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CSignal.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/TBuffer.h"

namespace fleck::test {

using Bytes = std::vector<unsigned char>;

constexpr int kHangGuardMs = 120000;  // ends a hung test; never a timing check
// Result codes as the tests compare them: a CFileSystemError's problem, kIOError plus a
// CIOError's code, or these.
constexpr int kSuccess = -1;
constexpr int kOtherError = -2;
constexpr int kIOError = 1000;

inline unsigned seedFromEnvironment(unsigned fallback) {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

inline int problemOf(const zel::CError* error) {
  if (error == nullptr) return kSuccess;
  if (auto* fsError = dynamic_cast<const zel::CFileSystemError*>(error))
    return fsError->getProblem();
  if (auto* ioError = dynamic_cast<const zel::CIOError*>(error))
    return kIOError + ioError->getIOCode();
  return kOtherError;
}

inline int problemOfCall(const std::function<void()>& call) {
  try {
    call();
    return kSuccess;
  } catch (const zel::CError& e) {
    return problemOf(&e);
  }
}

// Set while a thread starts an asynchronous operation: a listener that finds it set was
// called inline.
inline thread_local bool tInsideStartingCall = false;

// Records how often it was told, whether inline and with what error; then runs `hook`.
// Read what it saved once it was told.
class RecordingListener final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  using Hook = std::function<void(const zel::CError* error)>;
  explicit RecordingListener(Hook hook = nullptr) : hook(std::move(hook)) {}
  void onDone(const zel::CError* error) override {
    if (error != nullptr) saved = error->clone();
    ranInline = ranInline || tInsideStartingCall;
    calls.fetch_add(1);
    told.set();
    if (hook) hook(error);
  }
  bool waitTold() const { return told.wait(kHangGuardMs); }
  int getCalls() const { return calls.load(); }
  int getProblem() const { return problemOf(saved.get()); }
  zel::P<zel::CError> getError() const { return saved; }
  bool wasInline() const { return ranInline; }

 private:
  const Hook hook;
  zel::P<zel::CError> saved;
  std::atomic<bool> ranInline = false;
  std::atomic<int> calls{0};
  zel::CSignal told;
};

using StartFunction = std::function<zel::P<zel::IAsyncOperation>(zel::IDoneListener*)>;

inline zel::P<zel::IAsyncOperation> startOperation(const StartFunction& start,
                                                   zel::IDoneListener* listener) {
  tInsideStartingCall = true;
  zel::P<zel::IAsyncOperation> operation = start(listener);
  tInsideStartingCall = false;
  return operation;
}

// Starts an operation, waits for it and checks what holds for every operation: done,
// its listener told once and not inline.
inline zel::P<RecordingListener> runOperation(const StartFunction& start) {
  auto listener = zel::make<RecordingListener>();
  EXPECT_TRUE(startOperation(start, listener.get())->waitDone(kHangGuardMs));
  EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_FALSE(listener->wasInline());
  return listener;
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

inline int store(zel::IFileSystem& fs, const zel::CURI& target, const Bytes& bytes, bool replace) {
  return runOperation([&](zel::IDoneListener* listener) {
           return fs.storeStreamAsync(target, std::ssize(bytes), streamOf(bytes), replace,
                                      listener);
         })
      ->getProblem();
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

// Storage for one test, and file systems on it.
class FileSystemEnvironment {
 public:
  virtual ~FileSystemEnvironment() = default;
  // A file system object with its own completion threads; several may live at once and
  // see the same files (as several processes would).
  virtual zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) = 0;
  virtual zel::CURI getRoot() const = 0;  // an existing, empty folder
  // Every name in `folder`, temporary files included, read past the file system. Sorted.
  virtual std::vector<std::string> listRaw(const zel::CURI& folder) = 0;
  // False where a folder is a name prefix: creating one writes nothing, it exists while
  // something lies below it, and parents are never checked.
  virtual bool hasRealFolders() const { return true; }
};

struct FileSystemKind {
  std::string name;
  std::function<std::unique_ptr<FileSystemEnvironment>()> makeEnvironment;
};

inline void PrintTo(const FileSystemKind& kind, std::ostream* out) {
  *out << kind.name;
}
inline std::string kindName(const ::testing::TestParamInfo<FileSystemKind>& info) {
  return info.param.name;
}

class FileSystemConformance : public ::testing::TestWithParam<FileSystemKind> {
 protected:
  void SetUp() override {
    environment = GetParam().makeEnvironment();
    fs = environment->makeFileSystem(2);
    root = environment->getRoot();
  }
  zel::CURI at(const std::string& relative) const {
    return relative.empty() ? root : root << zel::CURI(zel::String::fromUTF8(relative));
  }
  std::vector<std::string> rawNames(const std::string& folder = "") const {
    return environment->listRaw(at(folder));
  }

  std::unique_ptr<FileSystemEnvironment> environment;
  zel::P<zel::IFileSystem> fs;  // destroyed before `environment`
  zel::CURI root;
};

}  // namespace fleck::test
