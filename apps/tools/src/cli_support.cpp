#include "cli_support.h"

#include <fmt/format.h>
#include <unistd.h>

namespace tools::cli {

namespace {

// Shortest readable byte count: "512 B", "12.3 KiB", "1.50 GiB".
std::string human_bytes(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (bytes >= 1024.0 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024.0;
    ++unit;
  }
  if (unit == 0) return fmt::format("{:.0f} {}", bytes, kUnits[unit]);
  return fmt::format("{:.1f} {}", bytes, kUnits[unit]);
}

// Redraws at most this often; the first and the last update of a phase are always drawn.
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

}  // namespace

void report_error(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s: error: %s\n", std::string(kProgramName).c_str(), line.c_str());
  std::fflush(stderr);
}

ProgressLine::ProgressLine(bool enabled) : active_(enabled && ::isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::update(const Progress& progress) {
  if (!active_) return;
  const auto now = Clock::now();
  const bool new_phase = phase_ != progress.phase;
  const bool last = progress.records_total != 0 && progress.records_done >= progress.records_total;
  if (new_phase) {
    phase_ = progress.phase;
    phase_start_ = now;
  } else if (!last && now - last_draw_ < kRedrawInterval) {
    return;
  }
  last_draw_ = now;

  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  std::string line = fmt::format("{}: {}", phase_, progress.records_done);
  if (progress.records_total != 0) line += fmt::format("/{}", progress.records_total);
  line += fmt::format(" records, {}", human_bytes(static_cast<double>(progress.bytes_done)));
  if (seconds > 0.05) {
    line += fmt::format(", {}/s", human_bytes(static_cast<double>(progress.bytes_done) / seconds));
  }
  // Carriage return, the line, then erase whatever an earlier, longer line left.
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::clear() {
  if (!shown_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

ProgressFn ProgressLine::sink() {
  if (!active_) return {};
  return [this](const Progress& progress) { update(progress); };
}

}  // namespace tools::cli
