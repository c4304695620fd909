// Argument parsing of dat-shard (CLI11) and the mapping of parse failures to
// exit status 2. The subcommands themselves are in cli_commands.cpp.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <vector>
#include <string>

#include "cli_commands.h"
#include "cli_support.h"

namespace tools::cli {

namespace {

constexpr const char* kVersion = TOOLKIT_VERSION;

// Accepts what parse_number accepts for a u32; the message becomes
// "<option>: <message>" in CLI11's error.
CLI::Validator u32_number() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_number(text, std::numeric_limits<uint32_t>::max())) return {};
        return fmt::format("bad number '{}' (expected decimal or 0x-prefixed hex, at most 0xFFFFFFFF)", text);
      },
      "");
}

void add_input_options(CLI::App& sub, std::string& input, std::string& portal,
                       std::string& cell, std::string& local) {
  // None of these is marked required: with neither --input nor --eor-portal the
  // shard library itself reports "--eor-portal or --input required".
  sub.add_option("--input", input, "read the records from this packed archive (the DAT options are then ignored)")
      ->type_name("FILE.qra");
  sub.add_option("--eor-portal", portal, "canonical portal DAT (namespace eor/portal)")->type_name("FILE");
  sub.add_option("--eor-cell", cell, "canonical cell DAT (namespace eor/cell)")->type_name("FILE");
  sub.add_option("--eor-local", local, "canonical local DAT (namespace eor/local)")->type_name("FILE");
}

void fill_input(const CLI::App& sub, InputArgs& source, const std::string& input, const std::string& portal,
                const std::string& cell, const std::string& local) {
  if (sub.count("--input") != 0) source.input = input;
  if (sub.count("--eor-portal") != 0) source.eor_portal = portal;
  if (sub.count("--eor-cell") != 0) source.eor_cell = cell;
  if (sub.count("--eor-local") != 0) source.eor_local = local;
}

// The command whose usage the hint should name: the deepest subcommand parsed so far.
std::string hint_command(const CLI::App& app) {
  std::string name(kProgramName);
  for (const CLI::App* sub : app.get_subcommands()) name += " " + sub->get_name();
  return name;
}

int usage_error(const std::string& text, const std::string& command) {
  report_error(text);
  std::fprintf(stderr, "Run '%s --help' for usage.\n", command.c_str());
  return kExitUsage;
}

// The first required argument of the chosen subcommand that was not given.
std::string first_missing(const CLI::App& app) {
  static const std::map<std::string, std::vector<std::string>> kRequired = {
      {"shard", {"--out-dir"}}, {"verify", {"DIR"}}, {"pack", {"--out"}}, {"ls", {"FILE"}}, {"cat", {"FILE", "KEY"}},
  };
  for (const CLI::App* sub : app.get_subcommands()) {
    const auto it = kRequired.find(sub->get_name());
    if (it == kRequired.end()) continue;
    for (const std::string& name : it->second) {
      if (sub->count(name) == 0) return name;
    }
  }
  return {};
}

}  // namespace

int run(int argc, char** argv) {
  CLI::App app{"Repackages game resource records into a static distribution directory.", std::string(kProgramName)};
  app.set_version_flag("--version", fmt::format("{} {}", kProgramName, kVersion), "print the version and exit");
  app.require_subcommand(1);
  app.footer("Numbers are decimal or 0x-prefixed hex. 'dat-shard COMMAND --help' describes a command.");

  std::string input;
  std::string portal;
  std::string cell;
  std::string local;
  std::string spawn_text;

  ShardArgs shard;
  std::string layout = "catalog";
  CLI::App* shard_cmd = app.add_subcommand("shard", "write a distribution directory (catalog or flat layout)");
  add_input_options(*shard_cmd, input, portal, cell, local);
  shard_cmd->add_option("--out-dir", shard.out_dir, "root of the distribution to write (created if missing)")
      ->type_name("DIR");
  shard_cmd->add_option("--layout", layout, "output layout (default catalog)")
      ->type_name("flat|catalog")
      ->check(CLI::IsMember({"flat", "catalog"}).description(""));
  shard_cmd->add_option("--spawn-landblock", spawn_text, "landblock the boot pack is built around (default 0xA9B4)")
      ->type_name("N")
      ->check(u32_number());
  shard_cmd->add_flag("--json", shard.json, "print the summary as one JSON object");
  shard_cmd->add_flag("-q,--quiet", shard.quiet, "no progress display");
  shard_cmd->add_flag("--stats", shard.stats, "print the wall time of each phase to stderr when done");

  VerifyArgs verify;
  CLI::App* verify_cmd = app.add_subcommand("verify", "check a distribution directory of either layout");
  verify_cmd->add_option("DIR", verify.dir, "distribution directory (holds manifest.json)");
  verify_cmd->add_flag("--json", verify.json, "print the report as one JSON object");
  verify_cmd->add_flag("-q,--quiet", verify.quiet, "no progress display");

  PackArgs pack;
  CLI::App* pack_cmd = app.add_subcommand("pack", "write a bundle as one packed archive");
  pack_cmd->add_option("--out", pack.out, "archive to write (created or truncated)")->type_name("FILE.qra");
  add_input_options(*pack_cmd, input, portal, cell, local);
  pack_cmd->add_flag("-q,--quiet", pack.quiet, "no progress display");

  std::string ls_file;
  CLI::App* ls_cmd = app.add_subcommand(
      "ls", "list a packed archive's index: shard key, size, comp_size, flags (tab-separated)");
  ls_cmd->add_option("FILE", ls_file, "packed archive")->type_name("FILE.qra");

  std::string cat_file;
  std::string cat_key;
  CLI::App* cat_cmd = app.add_subcommand("cat", "write one record of a packed archive to stdout, byte for byte");
  cat_cmd->add_option("FILE", cat_file, "packed archive")->type_name("FILE.qra");
  cat_cmd->add_option("KEY", cat_key, "shard key of the record, e.g. eor/portal:0x0E000002");

  // CLI11 would call an unknown first word "not expected" or ask for a
  // subcommand; name it as the unknown command it is.
  static const std::set<std::string_view> kCommands = {"shard", "verify", "pack", "ls", "cat"};
  if (argc > 1 && argv[1][0] != '-' && !kCommands.contains(argv[1])) {
    return usage_error(fmt::format("unknown command '{}' (expected shard, verify, pack, ls or cat)", argv[1]),
                       std::string(kProgramName));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, std::cout, std::cerr);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, std::cout, std::cerr);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, std::cout, std::cerr);
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what(), hint_command(app));
  }

  // Required arguments are checked here rather than by CLI11, so that an
  // unknown flag is reported as such even when a required one is missing too.
  if (const std::string missing = first_missing(app); !missing.empty()) {
    return usage_error(missing + " is required", hint_command(app));
  }

  if (*shard_cmd) {
    fill_input(*shard_cmd, shard.source, input, portal, cell, local);
    shard.flat = layout == "flat";
    if (!spawn_text.empty()) {
      shard.spawn_landblock = static_cast<uint32_t>(*parse_number(spawn_text, std::numeric_limits<uint32_t>::max()));
    }
    return run_shard(shard);
  }
  if (*verify_cmd) return run_verify(verify);
  if (*pack_cmd) {
    fill_input(*pack_cmd, pack.source, input, portal, cell, local);
    return run_pack(pack);
  }
  if (*ls_cmd) return run_ls(ls_file);
  if (*cat_cmd) return run_cat(cat_file, cat_key);
  return kExitUsage;  // unreachable: exactly one subcommand is required
}

}  // namespace tools::cli
