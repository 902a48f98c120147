#pragma once

// Small helpers shared by the fleck tests.

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "zel/Log.h"

namespace fleck::test {

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
