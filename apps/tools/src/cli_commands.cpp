// The subcommands of dat-shard. Each maps the library's result to output and
// an exit status; failures are reported through report_error.
#include "cli_commands.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "cli_support.h"
#include "dat/archive.h"
#include "dat_shard.h"
#include "manifest/manifest.h"
#include "verify.h"

namespace tools::cli {

namespace fs = std::filesystem;

namespace {

inline constexpr const char* kPhasePack = "pack";

DatShardOptions options_from(const InputArgs& source) {
  DatShardOptions options;
  if (source.input) options.input = fs::path(*source.input);
  if (source.eor_portal) options.eor_portal = fs::path(*source.eor_portal);
  if (source.eor_cell) options.eor_cell = fs::path(*source.eor_cell);
  if (source.eor_local) options.eor_local = fs::path(*source.eor_local);
  return options;
}

// Writes all of `text` to stdout; false when stdout refuses it.
bool write_stdout(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
  return std::fflush(stdout) == 0;
}

int stdout_failed() {
  report_error("write to stdout failed");
  return kExitFailed;
}

struct ShardSummary {
  const char* layout = "";
  uint64_t record_count = 0;
  uint64_t shard_count = 0;
  uint64_t namespace_count = 0;
  uint64_t boot_record_count = 0;
  uint64_t boot_size = 0;
};

// The flat layout returns only its manifest; the counts follow from it.
ShardSummary summarize_flat(const manifest::Manifest& m) {
  ShardSummary s;
  s.layout = "flat";
  s.record_count = m.shards.size();
  std::set<std::string_view> urls;
  std::set<std::string> namespaces;
  for (const auto& [key, entry] : m.shards) {
    urls.insert(entry.url);
    if (auto parsed = manifest::parse_shard_key(key)) namespaces.insert(parsed->ns);
  }
  s.shard_count = urls.size();
  s.namespace_count = namespaces.size();
  s.boot_record_count = m.boot_pack.covers.size();
  s.boot_size = m.boot_pack.size;
  return s;
}

ShardSummary summarize_catalog(const ShardSummaryV2& v2) {
  ShardSummary s;
  s.layout = "catalog";
  s.record_count = v2.record_count;
  s.shard_count = v2.shard_count;
  s.namespace_count = v2.namespace_count;
  s.boot_record_count = v2.boot_record_count;
  s.boot_size = v2.boot_size;
  return s;
}

// Wall time per phase of one shard run, taken from the progress reports: a
// phase ends at its last report and the next begins there (the first at the
// start of the run). What follows the last report (the manifest, and the
// remainder of the last step) is the phase "manifest".
class PhaseClock {
 public:
  using Clock = std::chrono::steady_clock;

  PhaseClock() : start_(Clock::now()) {}

  void mark(const char* phase) {
    const Clock::time_point now = Clock::now();
    if (phases_.empty() || std::strcmp(phases_.back().name, phase) != 0) phases_.push_back({phase, now});
    phases_.back().end = now;
  }

  // One line per phase, "stats: <phase> <seconds> s", then the total.
  std::string report() const {
    const Clock::time_point end = Clock::now();
    std::string out;
    Clock::time_point from = start_;
    const auto line = [&out](std::string_view name, Clock::duration d) {
      out += fmt::format("stats: {:<9} {:9.3f} s\n", name, std::chrono::duration<double>(d).count());
    };
    for (const Phase& p : phases_) {
      line(p.name, p.end - from);
      from = p.end;
    }
    line("manifest", end - from);
    line("total", end - start_);
    return out;
  }

 private:
  struct Phase {
    const char* name;
    Clock::time_point end;
  };
  Clock::time_point start_;
  std::vector<Phase> phases_;
};

}  // namespace

int run_shard(const ShardArgs& args) {
  DatShardOptions options = options_from(args.source);
  options.out_dir = args.out_dir;
  options.spawn_landblock = args.spawn_landblock;
  options.manifest_version = args.flat ? 1 : 2;
  ProgressLine progress(!args.quiet);
  options.progress = progress.sink();
  std::optional<PhaseClock> clock;
  if (args.stats) {
    clock.emplace();
    options.progress = [&clock, display = progress.sink()](const Progress& p) {
      clock->mark(p.phase);
      if (display) display(p);
    };
  }

  ShardSummary summary;
  if (args.flat) {
    auto result = shard_bundle(options);
    progress.clear();
    if (!result) {
      report_error(result.error().message());
      return kExitFailed;
    }
    summary = summarize_flat(*result);
  } else {
    auto result = shard_bundle_v2(options);
    progress.clear();
    if (!result) {
      report_error(result.error().message());
      return kExitFailed;
    }
    summary = summarize_catalog(*result);
  }
  if (clock) {
    const std::string stats = clock->report();
    std::fputs(stats.c_str(), stderr);
  }

  std::string out;
  if (args.json) {
    nlohmann::ordered_json doc;
    doc["layout"] = summary.layout;
    doc["record_count"] = summary.record_count;
    doc["shard_count"] = summary.shard_count;
    doc["namespace_count"] = summary.namespace_count;
    doc["boot_record_count"] = summary.boot_record_count;
    doc["boot_size"] = summary.boot_size;
    out = doc.dump(2) + "\n";
  } else {
    out = fmt::format(
        "{} layout written to {}\n"
        "  records     {}\n"
        "  shards      {}\n"
        "  namespaces  {}\n"
        "  boot pack   {} records, {} bytes ({})\n",
        summary.layout, args.out_dir, summary.record_count, summary.shard_count, summary.namespace_count,
        summary.boot_record_count, summary.boot_size, (fs::path(args.out_dir) / "boot.qra").string());
  }
  return write_stdout(out) ? kExitOk : stdout_failed();
}

int run_verify(const VerifyArgs& args) {
  ProgressLine progress(!args.quiet);
  const VerifyReport report = verify_distribution(args.dir, progress.sink());
  progress.clear();

  const fs::path dir(args.dir);
  std::string out;
  if (args.json) {
    nlohmann::ordered_json doc;
    doc["ok"] = report.ok();
    doc["layout"] = report.layout ? nlohmann::ordered_json(layout_name(*report.layout)) : nlohmann::ordered_json();
    doc["record_count"] = report.record_count;
    doc["shard_count"] = report.shard_count;
    doc["namespace_count"] = report.namespace_count;
    doc["link_count"] = report.link_count;
    doc["boot_record_count"] = report.boot_record_count;
    doc["problems"] = nlohmann::ordered_json::array();
    for (const auto& p : report.problems) {
      doc["problems"].push_back({{"path", p.path}, {"problem", p.what}});
    }
    out = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } else if (report.ok()) {
    std::string links;
    if (report.layout == DistributionLayout::Catalog) links = fmt::format(", {} links", report.link_count);
    out = fmt::format("ok: {}: {} layout, {} records, {} shards, {} namespaces{}, boot.qra with {} records\n",
                      args.dir, layout_name(*report.layout), report.record_count, report.shard_count,
                      report.namespace_count, links, report.boot_record_count);
  } else {
    for (const auto& p : report.problems) out += fmt::format("{}: {}\n", (dir / p.path).string(), p.what);
  }
  if (!write_stdout(out)) return stdout_failed();
  if (report.ok()) return kExitOk;

  const auto& first = report.problems.front();
  report_error(fmt::format("{}: {} problem{} found; first: {}: {}", args.dir, report.problems.size(),
                           report.problems.size() == 1 ? "" : "s", first.path, first.what));
  return kExitFailed;
}

int run_pack(const PackArgs& args) {
  DatShardOptions options = options_from(args.source);
  ProgressLine progress(!args.quiet);
  options.progress = progress.sink();

  auto bundle = read_input_bundle(options);
  if (!bundle) {
    progress.clear();
    report_error(bundle.error().message());
    return kExitFailed;
  }
  const fs::path out(args.out);
  auto fail = [&](const dat::DatError& error) {
    progress.clear();
    report_error(ToolError::qra_write(out, error.to_string()).message());
    return kExitFailed;
  };
  auto writer = dat::QraStreamWriter::create(out);
  if (!writer) return fail(writer.error());
  Progress step{kPhasePack, 0, bundle->records.size(), 0};
  for (const auto& [key, body] : bundle->records) {
    if (auto added = writer->add(key.first, key.second, 0, std::span<const uint8_t>(body)); !added) {
      return fail(added.error());
    }
    ++step.records_done;
    step.bytes_done += body.size();
    if (options.progress) options.progress(step);
  }
  if (auto finished = std::move(*writer).finish(); !finished) return fail(finished.error());
  progress.clear();

  std::error_code ec;
  const auto size = fs::file_size(out, ec);
  const std::string line = ec ? fmt::format("packed {} records into {}\n", step.records_done, args.out)
                              : fmt::format("packed {} records into {} ({} bytes)\n", step.records_done, args.out, size);
  return write_stdout(line) ? kExitOk : stdout_failed();
}

int run_ls(const std::string& file) {
  auto reader = dat::QraReader::open(file);
  if (!reader) {
    report_error(ToolError::dat_open(file, reader.error().to_string()).message());
    return kExitFailed;
  }
  auto index = reader->read_index();
  if (!index) {
    report_error(fmt::format("{}: read index: {}", file, index.error().to_string()));
    return kExitFailed;
  }
  std::string out;
  for (size_t i = 0; i < index->size(); ++i) {
    const dat::QraEntry& entry = (*index)[i];
    auto ns = entry.namespace_id();
    if (!ns) {
      if (!write_stdout(out)) return stdout_failed();
      report_error(fmt::format("{}: index entry {}: {}", file, i, ns.error().to_string()));
      return kExitFailed;
    }
    out += fmt::format("{}\t{}\t{}\t0x{:02x}\n", manifest::format_shard_key(ns->as_str(), entry.file_id), entry.size,
                       entry.comp_size, entry.flags);
    if (out.size() >= (1u << 16)) {
      if (!write_stdout(out)) return stdout_failed();
      out.clear();
    }
  }
  return write_stdout(out) ? kExitOk : stdout_failed();
}

int run_cat(const std::string& file, const std::string& key) {
  auto parsed = manifest::parse_shard_key(key);
  if (!parsed) {
    report_error(fmt::format("invalid shard key \"{}\" (expected NAMESPACE:0xID, e.g. eor/portal:0x0E000002)", key));
    std::fprintf(stderr, "Run '%s cat --help' for usage.\n", std::string(kProgramName).c_str());
    return kExitUsage;
  }
  auto reader = dat::QraReader::open(file);
  if (!reader) {
    report_error(ToolError::dat_open(file, reader.error().to_string()).message());
    return kExitFailed;
  }
  auto body = reader->get_file_in_namespace(parsed->ns, parsed->file_id);
  if (!body) {
    report_error(fmt::format("{}: {}: {}", file, key, body.error().to_string()));
    return kExitFailed;
  }
  const std::string_view bytes(reinterpret_cast<const char*>(body->data()), body->size());
  return write_stdout(bytes) ? kExitOk : stdout_failed();
}

}  // namespace tools::cli
