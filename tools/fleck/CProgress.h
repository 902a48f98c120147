#pragma once

#include <cstdint>
#include <string>

#include "zel/CTime.h"

namespace fleck::cli {

// The progress of long work on standard error: bytes done of the total, MB/s and the
// time left. As one line redrawn in place on a terminal (Line), as a line every few
// seconds for logs (Plain), or not at all (Off).
//
// Used by one thread (the one doing the work or watching it); no lock.
class CProgress final {
 public:
  enum Mode { Off, Line, Plain };

  // The mode for a --progress value ("auto", "line", "plain", "none") and --quiet:
  // "auto" is Line when standard error is a terminal, else Off.
  static Mode chooseMode(const std::string& option, bool quiet);

  // total: bytes of the work, or -1 when unknown (standard input).
  CProgress(Mode mode, std::string label, std::int64_t total);
  // Ends a line left open; never throws.
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  void setTotal(std::int64_t bytes) { total = bytes; }
  // Reports `done` bytes so far; prints only when the last print is old enough.
  void update(std::int64_t done);
  // Prints the final state and ends the line.
  void finish(std::int64_t done);

 private:
  void print(std::int64_t done, bool final);

  Mode mode;
  std::string label;
  std::int64_t total;
  zel::CTime start;
  zel::CTime lastPrint;
  bool lineOpen = false;
};

}  // namespace fleck::cli
