#pragma once

#include <chrono>
#include <cstdint>

namespace zel {

// A length of time, in milliseconds' resolution or finer.
class CTimeSpan {
 public:
  using Duration = std::chrono::steady_clock::duration;

  CTimeSpan() = default;
  explicit CTimeSpan(Duration duration) : duration(duration) {}
  static CTimeSpan fromMillis(std::int64_t millis) {
    return CTimeSpan(std::chrono::milliseconds(millis));
  }

  // Whole milliseconds, truncated toward zero.
  std::int64_t getMillis() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  }
  double getSeconds() const { return std::chrono::duration<double>(duration).count(); }
  Duration getDuration() const { return duration; }

  auto operator<=>(const CTimeSpan&) const = default;

 private:
  Duration duration{};
};

// A point in time on a monotonic clock: for deadlines and measuring, not for dates.
class CTime {
 public:
  CTime() = default;
  static CTime now() { return CTime(std::chrono::steady_clock::now()); }

  CTime operator+(const CTimeSpan& span) const { return CTime(point + span.getDuration()); }
  CTimeSpan operator-(const CTime& other) const { return CTimeSpan(point - other.point); }
  auto operator<=>(const CTime&) const = default;

 private:
  explicit CTime(std::chrono::steady_clock::time_point point) : point(point) {}
  std::chrono::steady_clock::time_point point{};
};

}  // namespace zel
