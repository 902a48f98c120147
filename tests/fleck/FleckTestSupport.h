#pragma once

// Small helpers shared by the fleck tests.

#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace fleck::test {

// The random model tests take this many times fewer steps under ThreadSanitizer, which
// slows their byte-heavy work some forty times; the other builds keep every step.
#if defined(__SANITIZE_THREAD__)
constexpr int kModelStepDivisor = 4;
#else
constexpr int kModelStepDivisor = 1;
#endif

// `n` bytes of a pattern that differs by seed and never holds a zero.
inline std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<unsigned char>((i * 31 + seed) % 251 + 1);
  return bytes;
}

// FLECK_TEST_SEED when set (to repeat a failure), otherwise `fallback`.
inline unsigned seedFromEnvironment(unsigned fallback) {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

// What `action` throws, in words a test compares: "none", "io N" (a zel::CIOError with
// that code), "disk N" (a CFleckDiskError), "arg", "fs N" (a file system problem) or
// "error: MESSAGE".
inline std::string whatThrows(const std::function<void()>& action) {
  try {
    action();
  } catch (const zel::CIOError& e) {
    return "io " + std::to_string(e.getIOCode());
  } catch (const CFleckDiskError& e) {
    return "disk " + std::to_string(e.getCode());
  } catch (const zel::CInvalidArgError&) {
    return "arg";
  } catch (const zel::CFileSystemError& e) {
    return "fs " + std::to_string(e.getProblem());
  } catch (const zel::CError& e) {
    return "error: " + e.getMessage().toUTF8();
  }
  return "none";
}

// Creates a disk in `folder` and writes `content` (if any) from its start.
inline void makeDisk(zel::IFileSystem* fs, const zel::CURI& folder, std::int64_t size,
                     int fleckSize, const char* password = "",
                     const std::vector<unsigned char>& content = {}) {
  CFleckDisk::create(fs, folder, size, 1, password, "lz4", fleckSize);
  if (content.empty()) return;
  CFleckDisk disk(fs, folder, password, zel::IIOStream::AccessReadWrite, 2);
  disk.write(content.data(), static_cast<int>(content.size()));
}

// Captures what is logged while it lives; the sink before comes back afterwards.
class LogCapture {
 public:
  LogCapture()
      : before(zel::setLogSink(
            [this](const zel::String& message, const std::exception& error, const zel::String&) {
              std::lock_guard<std::mutex> lock(mutex);
              messages.push_back(message.toUTF8());
              lines.push_back(message.toUTF8() + ": " + error.what());
            })) {}
  ~LogCapture() { zel::setLogSink(before); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages alone.
  std::vector<std::string> getMessages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
  // "message: error text" each.
  std::vector<std::string> getLines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

 private:
  mutable std::mutex mutex;  // guards messages and lines
  std::vector<std::string> messages;
  std::vector<std::string> lines;
  zel::LogSink before;
};

}  // namespace fleck::test
