#pragma once
// Running dat-shard and dat-synth as child processes, and the files the
// command-line tests work on.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cli_testing {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};

enum class Stderr {
  Pipe,      // stderr is a pipe (not a terminal)
  Terminal,  // stderr is a pseudo-terminal
};

// Runs `exe` with `args`, stdin from /dev/null, and collects both outputs.
RunResult run(const std::string& exe, const std::vector<std::string>& args, Stderr mode = Stderr::Pipe);
RunResult dat_shard(const std::vector<std::string>& args, Stderr mode = Stderr::Pipe);
RunResult dat_synth(const std::vector<std::string>& args);

// Readable description of a run for failure messages.
std::string describe(const RunResult& result);

// The lines of `text`, without their terminators.
std::vector<std::string> lines(const std::string& text);

// A fresh directory under the system temporary directory, removed with its
// contents when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The seven-record fixture archive: three eor/portal and four eor/cell
// records, two of them byte-identical, written in this order.
struct FixtureRecord {
  std::string ns;
  uint32_t id;
  std::string body;
};
const std::vector<FixtureRecord>& fixture_records();
void write_fixture(const fs::path& path);

struct ArchiveRecord {
  std::string ns;
  uint32_t id;
  std::vector<uint8_t> body;
};
// Writes `records` with the archive writer, in order; fails the test on error.
void write_archive(const fs::path& path, const std::vector<ArchiveRecord>& records);

// The small sample set (scale 1, seed 1) in `dir`: portal.dat, cell.dat, local.dat.
void write_synth(const fs::path& dir);
// The options naming the three sample DATs in `dir`.
std::vector<std::string> synth_inputs(const fs::path& dir);

std::vector<uint8_t> read_bytes(const fs::path& path);
std::string read_text(const fs::path& path);
void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes);
void write_text(const fs::path& path, const std::string& text);
// XORs the byte at `offset` (from the end when negative) with 0xFF.
void flip_byte(const fs::path& path, int64_t offset);

std::vector<uint8_t> to_bytes(const std::string& text);

}  // namespace cli_testing
