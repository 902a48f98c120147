#pragma once

#include <cstdint>
#include <string>

#include "fleck/ops/IProgress.h"
#include "zel/CTime.h"

namespace fleck::cli {

// The progress of long work on standard error: bytes done of the total, MB/s and the
// time left. As one line redrawn in place on a terminal (Line), as a line every few
// seconds for logs (Plain), or not at all (Off).
//
// Used by one thread (the one doing the work or watching it); no lock.
class CProgress final : public ops::IProgress {
 public:
  enum Mode { Off, Line, Plain };

  // The mode for a --progress value ("auto", "line", "plain", "none") and --quiet:
  // "auto" is Line when standard error is a terminal, else Off.
  static Mode chooseMode(const std::string& option, bool quiet);

  // total: bytes of the work, or -1 when unknown (standard input).
  CProgress(Mode mode, std::string label, std::int64_t total);
  // Ends a line left open; never throws.
  ~CProgress() override;
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  // The work begins now, with `bytes` to do (-1: unknown): rates count from here.
  void start(std::int64_t bytes) override;
  // Reports `done` bytes so far; prints only when the last print is old enough.
  void update(std::int64_t done) override;
  // Prints the final state and ends the line.
  void finish(std::int64_t done) override;

 private:
  void print(std::int64_t done, bool final);

  Mode mode;
  std::string label;
  std::int64_t total;
  zel::CTime began;
  zel::CTime lastPrint;
  bool lineOpen = false;
};

}  // namespace fleck::cli
