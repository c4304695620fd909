#pragma once
// The subcommands of dat-shard, each taking its already parsed arguments and
// returning the process exit status. Parsing is cli.cpp's job.
#include <cstdint>
#include <optional>
#include <string>

namespace tools::cli {

// Where a bundle comes from: a packed archive, or canonical DATs.
struct InputArgs {
  std::optional<std::string> input;
  std::optional<std::string> eor_portal;
  std::optional<std::string> eor_cell;
  std::optional<std::string> eor_local;
};

struct ShardArgs {
  InputArgs source;
  std::string out_dir;
  bool flat = false;  // --layout flat; the catalog layout otherwise
  uint32_t spawn_landblock = 0xA9B4;
  bool json = false;
  bool quiet = false;
  bool stats = false;  // per-phase wall times on stderr
};

struct VerifyArgs {
  std::string dir;
  bool json = false;
  bool quiet = false;
};

struct PackArgs {
  InputArgs source;
  std::string out;
  bool quiet = false;
};

int run_shard(const ShardArgs& args);
int run_verify(const VerifyArgs& args);
int run_pack(const PackArgs& args);
int run_ls(const std::string& file);
int run_cat(const std::string& file, const std::string& key);

}  // namespace tools::cli
