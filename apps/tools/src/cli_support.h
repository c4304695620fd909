#pragma once
// Pieces of the dat-shard command line shared by its subcommands: number
// parsing, the one-line error report and the terminal progress display.
// Nothing here is part of the shard library; main.cpp and cli*.cpp only.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/number.h"
#include "dat_shard.h"

namespace tools::cli {

// Exit statuses of the command line.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation ran and failed
inline constexpr int kExitUsage = 2;   // the command line itself was wrong

inline constexpr std::string_view kProgramName = "dat-shard";

using common::parse_number;

// Writes "dat-shard: error: <text>" and a newline to stderr. The text must be
// one line; embedded line breaks are replaced by spaces.
void report_error(std::string_view text);

// Progress on stderr for long runs: one self-overwriting line with records
// done (of total when known), bytes and rate, at most a few updates a second.
// Inactive (every call a no-op) unless enabled and stderr is a terminal.
class ProgressLine {
 public:
  // `enabled` false (for --quiet) keeps it silent; otherwise it shows itself
  // only when stderr is a terminal.
  explicit ProgressLine(bool enabled);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool active() const { return active_; }
  void update(const Progress& progress);
  // Erases the line, so what follows starts on a clean line.
  void clear();
  // A ProgressFn that forwards to update(), or an empty function when inactive.
  // The line must outlive every use of the returned function.
  ProgressFn sink();

 private:
  using Clock = std::chrono::steady_clock;
  bool active_ = false;
  bool shown_ = false;
  std::string phase_;
  Clock::time_point phase_start_{};
  Clock::time_point last_draw_{};
};

}  // namespace tools::cli
