// dat-shard shard killed with SIGKILL at random moments: whatever it leaves
// behind is either no manifest at all or a distribution that verifies.
//
// Each case shards a small sample set (packed into one archive first) into an
// output directory, for both layouts, starting
//   - from a fresh directory (a new one per kill),
//   - from a directory holding a complete run of the same input (the same
//     directory throughout, so debris of earlier kills accumulates), where
//     the earlier manifest must survive every kill and still verify,
//   - from a directory holding a complete run of other content: one
//     directory throughout, alternating between two inputs so that each run
//     changes what the last complete run wrote, where a kill may leave no
//     manifest but never one that fails to verify.
// The moments are drawn with a fixed seed from the measured duration of an
// uninterrupted run from the same starting state.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <random>
#include <thread>

#include "cli_harness.h"

extern char** environ;

namespace cli_testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKills = 32;

enum class Start { Fresh, SameRun, OtherRun };

struct KillCase {
  const char* layout;
  Start start;
  uint64_t seed;
};

const char* start_name(Start start) {
  return start == Start::Fresh ? "Fresh" : start == Start::SameRun ? "OverTheSameRun" : "OverOtherContent";
}

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.layout << " " << start_name(c.start) << " seed " << c.seed; }

std::string case_name(const testing::TestParamInfo<KillCase>& info) {
  return std::string(info.param.layout) + start_name(info.param.start);
}

// Starts dat-shard with `args`, output discarded; returns its pid.
pid_t spawn_dat_shard(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argv_text = {DAT_SHARD_EXE};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, DAT_SHARD_EXE, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "posix_spawn " << DAT_SHARD_EXE;
  return spawned == 0 ? pid : -1;
}

// Waits for `pid`; true when it was killed by SIGKILL, false when it exited
// (successfully: any other end fails the test).
bool reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return true;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "dat-shard ended with status " << status;
  return false;
}

std::vector<std::string> shard_args(const fs::path& input, const fs::path& out, const char* layout) {
  return {"shard", "--input", input.string(), "--out-dir", out.string(), "--layout", layout, "--quiet"};
}

bool verifies(const fs::path& dir) {
  const RunResult r = dat_shard({"verify", dir.string(), "--quiet"});
  EXPECT_EQ(r.status, 0) << dir << ": " << describe(r);
  return r.status == 0;
}

void run_to_completion(const fs::path& input, const fs::path& out, const char* layout) {
  const RunResult r = dat_shard(shard_args(input, out, layout));
  ASSERT_EQ(r.status, 0) << describe(r);
}

// A sample set packed into one archive.
void make_input(const fs::path& tmp, const std::string& seed, const fs::path& archive) {
  const fs::path dats = tmp / ("synth-" + seed);
  const RunResult synth = dat_synth({"--out-dir", dats.string(), "--seed", seed});
  ASSERT_EQ(synth.status, 0) << describe(synth);
  std::vector<std::string> args = {"pack", "--out", archive.string(), "--quiet"};
  const auto inputs = synth_inputs(dats);
  args.insert(args.end(), inputs.begin(), inputs.end());
  const RunResult pack = dat_shard(args);
  ASSERT_EQ(pack.status, 0) << describe(pack);
}

class KillTest : public testing::TestWithParam<KillCase> {};

TEST_P(KillTest, EveryKillLeavesNoManifestOrAVerifiedDistribution) {
  const KillCase& c = GetParam();
  TempDir tmp;
  const fs::path input_a = tmp / "a.qra";
  const fs::path input_b = tmp / "b.qra";
  ASSERT_NO_FATAL_FAILURE(make_input(tmp.path(), "1", input_a));
  if (c.start == Start::OtherRun) {
    ASSERT_NO_FATAL_FAILURE(make_input(tmp.path(), "2", input_b));
  }

  // The shared output directory of the non-fresh cases starts with a
  // complete run (of the other input, when the content is to differ).
  const fs::path shared = tmp / "dist";
  if (c.start != Start::Fresh) {
    ASSERT_NO_FATAL_FAILURE(run_to_completion(c.start == Start::OtherRun ? input_b : input_a, shared, c.layout));
  }

  // How long an uninterrupted run from this starting state takes: the
  // shortest of three, so that the moments fall inside a run. The
  // non-fresh cases measure in the shared directory itself, which each
  // complete run leaves complete (alternating inputs over other content, the
  // last being input a, so that the first kill's input b differs).
  double duration = 0;
  for (int round = 0; round < 3; ++round) {
    const fs::path measured = c.start == Start::Fresh ? tmp / "measure" : shared;
    const fs::path& input = c.start == Start::OtherRun && round == 1 ? input_b : input_a;
    const auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(run_to_completion(input, measured, c.layout));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    duration = round == 0 ? seconds : std::min(duration, seconds);
    if (c.start == Start::Fresh) fs::remove_all(measured);
  }

  std::mt19937_64 rng(c.seed);
  std::uniform_real_distribution<double> moment(0.0, duration);
  int killed = 0;
  int finished = 0;
  int no_manifest = 0;
  int verified = 0;
  for (int i = 0; i < kKills; ++i) {
    const fs::path out = c.start == Start::Fresh ? tmp / ("fresh-" + std::to_string(i)) : shared;
    const fs::path& input = c.start == Start::OtherRun && i % 2 == 0 ? input_b : input_a;
    const double at = moment(rng);
    const pid_t pid = spawn_dat_shard(shard_args(input, out, c.layout));
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(at));
    ::kill(pid, SIGKILL);
    if (reap(pid)) {
      ++killed;
    } else {
      ++finished;
    }

    SCOPED_TRACE(testing::Message() << "kill " << i << " at " << at << " s");
    if (!fs::exists(fs::symlink_status(out / "manifest.json"))) {
      // An earlier complete run of the same content must never be withdrawn.
      EXPECT_NE(c.start, Start::SameRun) << "the previous manifest is gone";
      ++no_manifest;
    } else if (verifies(out)) {
      ++verified;
    }
    if (c.start == Start::Fresh) fs::remove_all(out);
  }
  std::printf("%s: %d kills (%d killed, %d finished first), %d without a manifest, %d verified; run %.3f s\n",
              case_name(testing::TestParamInfo<KillCase>(c, 0)).c_str(), kKills, killed, finished, no_manifest,
              verified, duration);
  EXPECT_EQ(no_manifest + verified, kKills);
  // The moments spread over the run, so many kills land before it finishes.
  EXPECT_GE(killed, kKills / 4);

  // Whatever debris the kills left, a complete run over it verifies.
  if (c.start != Start::Fresh) {
    ASSERT_NO_FATAL_FAILURE(run_to_completion(input_a, shared, c.layout));
    EXPECT_TRUE(verifies(shared));
  }
}

INSTANTIATE_TEST_SUITE_P(Both, KillTest,
                         testing::Values(KillCase{"flat", Start::Fresh, 101}, KillCase{"catalog", Start::Fresh, 102},
                                         KillCase{"flat", Start::SameRun, 103},
                                         KillCase{"catalog", Start::SameRun, 104},
                                         KillCase{"flat", Start::OtherRun, 105},
                                         KillCase{"catalog", Start::OtherRun, 106}),
                         case_name);

}  // namespace
}  // namespace cli_testing
