#include "CProgress.h"

#include <unistd.h>

#include <cstdio>

#include "CSizes.h"

namespace fleck::cli {

namespace {

constexpr std::int64_t kLineIntervalMs = 200;
constexpr std::int64_t kPlainIntervalMs = 5000;

std::string formatDuration(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

CProgress::Mode CProgress::chooseMode(const std::string& option, bool quiet) {
  if (quiet || option == "none") return Off;
  if (option == "plain") return Plain;
  if (option == "line") return Line;
  return ::isatty(STDERR_FILENO) ? Line : Off;
}

CProgress::CProgress(Mode mode, std::string label, std::int64_t total)
    : mode(mode),
      label(std::move(label)),
      total(total),
      began(zel::CTime::now()),
      lastPrint(began) {}

void CProgress::start(std::int64_t bytes) {
  total = bytes;
  began = zel::CTime::now();
  lastPrint = began;
}

CProgress::~CProgress() {
  if (lineOpen) std::fputc('\n', stderr);
}

void CProgress::update(std::int64_t done) {
  if (mode == Off) return;
  const std::int64_t interval = mode == Line ? kLineIntervalMs : kPlainIntervalMs;
  if ((zel::CTime::now() - lastPrint).getMillis() < interval) return;
  print(done, false);
}

void CProgress::finish(std::int64_t done) {
  if (mode == Off) return;
  print(done, true);
  if (lineOpen) std::fputc('\n', stderr);
  lineOpen = false;
  std::fflush(stderr);
}

void CProgress::print(std::int64_t done, bool final) {
  const zel::CTime now = zel::CTime::now();
  lastPrint = now;
  const double seconds = (now - began).getSeconds();
  std::string text = label + ": " + CSizes::format(done);
  if (total >= 0) {
    char percent[16];
    std::snprintf(
        percent, sizeof(percent), " (%d%%)",
        total > 0 ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total))
                  : 100);
    text += " of " + CSizes::format(total) + percent;
  }
  text += ", " + CSizes::formatRate(done, seconds) + " MB/s";
  if (final) {
    text += ", " + formatDuration(seconds) + " elapsed";
  } else if (total > 0 && done > 0 && seconds > 0) {
    const double rate = static_cast<double>(done) / seconds;
    text += ", " + formatDuration(static_cast<double>(total - done) / rate) + " left";
  }
  if (mode == Line) {
    // Carriage return and clear to the end of the line: the line is redrawn in place.
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    lineOpen = true;
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  std::fflush(stderr);
}

}  // namespace fleck::cli
