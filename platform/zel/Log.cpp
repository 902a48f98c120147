#include "zel/Log.h"

#include <cstdio>
#include <mutex>

#include "zel/CError.h"

namespace zel {

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by sinkMutex(); sinks are called with it held, so one at a time.
LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

// Control characters (a line break in a file name, say) would split the line, or
// forge another one; they are written as \n, \r, \t or \xNN instead.
String escapeControlCharacters(const String& text) {
  String out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\t') {
      out += L"\\t";
    } else if ((c >= 0 && c < 0x20) || c == 0x7F) {
      static const wchar_t* digits = L"0123456789ABCDEF";
      out += L"\\x";
      out.push_back(digits[(c >> 4) & 0xF]);
      out.push_back(digits[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// True while this thread runs the sink: an error the sink logs itself (directly, or
// through code it calls) would otherwise wait forever for the lock this thread holds.
thread_local bool inSink = false;

String errorText(const std::exception& error) {
  if (const auto* e = dynamic_cast<const CError*>(&error)) return e->toString();
  return String::fromUTF8(error.what());
}

}  // namespace

LogSink setLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  LogSink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

String formatLogLine(const String& message, const std::exception& error, const String& detail) {
  String line = message;
  line += L": ";
  line += errorText(error);
  if (!detail.empty()) {
    line += L" (";
    line += detail;
    line += L')';
  }
  return escapeControlCharacters(line);
}

void logError(const std::exception& error, const String& message, const String& detail) {
  try {
    if (inSink) {
      // Logged from inside the sink: to standard error, not into the sink again.
      const std::string line = formatLogLine(message, error, detail).toUTF8();
      std::fprintf(stderr, "%s\n", line.c_str());
      return;
    }
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (currentSink()) {
      struct InSink {
        InSink() { inSink = true; }
        ~InSink() { inSink = false; }
      } running;
      currentSink()(message, error, detail);
      return;
    }
    const std::string line = formatLogLine(message, error, detail).toUTF8();
    std::fprintf(stderr, "%s\n", line.c_str());
  } catch (...) {
    // Logging is the last resort of error handling; a failing sink has nowhere to go.
    std::fprintf(stderr, "zel::logError: the log sink failed\n");
  }
}

void onExceptionInDestructorIgnored(const String& className, const std::exception& error,
                                    bool log) {
  if (log)
    logError(error, String("Exception in destructor of ") + className + String(" ignored"),
             String());
}

}  // namespace zel
