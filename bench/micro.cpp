// Micro-benchmarks of the hot pieces of a shard run, over sample records from
// the synthetic data set (dat_synth) where real shapes matter.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dat/archive.h"
#include "dat/file_type/setup_model.h"
#include "dat/landblock.h"
#include "dat/utils.h"
#include "dat/walk.h"
#include "dat_testing/lrs_compress.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"
#include "synth.h"

namespace {

const dat_synth::SynthDat& portal() {
  static const dat_synth::SynthDat dat = dat_synth::generate_dat(dat_synth::DatKind::Portal, {.scale = 2, .seed = 1});
  return dat;
}

const dat_synth::SynthDat& cell() {
  static const dat_synth::SynthDat dat = dat_synth::generate_dat(dat_synth::DatKind::Cell, {.scale = 2, .seed = 1});
  return dat;
}

std::vector<const std::vector<uint8_t>*> portal_bodies_of_type(uint32_t high_byte) {
  std::vector<const std::vector<uint8_t>*> out;
  for (const auto& [id, record] : portal().records) {
    if ((id >> 24) == high_byte) out.push_back(&record.body);
  }
  return out;
}

void BM_sha256_hex(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (auto _ : state) benchmark::DoNotOptimize(manifest::sha256_hex(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_sha256_hex)->Arg(64)->Arg(4096)->Arg(65536);

std::vector<manifest::CatalogEntry> catalog_entries(size_t n) {
  std::mt19937 rng(7);  // 32-bit results
  std::vector<manifest::CatalogEntry> entries(n);
  uint32_t id = 0x01000000;
  for (auto& e : entries) {
    for (auto& b : e.sha256_prefix) b = static_cast<uint8_t>(rng());
    e.size = static_cast<uint32_t>(rng() % 100000);
    id += static_cast<uint32_t>(1 + rng() % 16);
    e.file_id = id;
  }
  return entries;
}

void BM_catalog_encode_body(benchmark::State& state) {
  const manifest::NamespaceCatalog catalog("eor/portal", 0, catalog_entries(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(catalog.encode_body());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_catalog_encode_body)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_catalog_read_from(benchmark::State& state) {
  const manifest::NamespaceCatalog catalog("eor/portal", 0, catalog_entries(static_cast<size_t>(state.range(0))));
  const std::vector<uint8_t> file = catalog.encode();
  for (auto _ : state) {
    auto decoded = manifest::NamespaceCatalog::read_from(file, "eor/portal");
    if (!decoded) state.SkipWithError("catalog does not decode");
    benchmark::DoNotOptimize(decoded);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_catalog_read_from)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_decompress_lrs(benchmark::State& state) {
  // The compressed records of the sample set, concatenated per record.
  std::vector<std::vector<uint8_t>> streams;
  uint64_t raw = 0;
  for (const auto& [id, record] : portal().records) {
    if (!record.compressed) continue;
    streams.push_back(dat_testing::compress_lrs(record.body));
    raw += record.body.size();
  }
  for (auto _ : state) {
    for (const auto& s : streams) benchmark::DoNotOptimize(dat::decompress_lrs(s));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(raw));
}
BENCHMARK(BM_decompress_lrs)->Unit(benchmark::kMillisecond);

void BM_landblock_info_unpack(benchmark::State& state) {
  std::vector<const std::vector<uint8_t>*> infos;
  for (const auto& [id, record] : cell().records) {
    if ((id & 0xFFFF) == 0xFFFE) infos.push_back(&record.body);
  }
  for (auto _ : state) {
    for (const auto* body : infos) benchmark::DoNotOptimize(dat::LandblockInfo::unpack(*body));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(infos.size()));
}
BENCHMARK(BM_landblock_info_unpack);

void BM_setup_model_unpack(benchmark::State& state) {
  const auto models = portal_bodies_of_type(dat::kSetupModelRecordType);
  for (auto _ : state) {
    for (const auto* body : models) {
      common::ByteCursor cursor(*body);
      benchmark::DoNotOptimize(dat::SetupModel::unpack(cursor));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(models.size()));
}
BENCHMARK(BM_setup_model_unpack);

// The portal records of the sample set as a record source.
class SynthSource final : public dat::ResourceSource {
 public:
  dat::DatResult<std::vector<uint8_t>> get_file_by_key(const dat::ResourceKey& key) const override {
    const auto it = portal().records.find(key.file_id);
    if (key.label != "eor/portal" || it == portal().records.end()) {
      return std::unexpected(dat::DatError::not_found(key.file_id));
    }
    return it->second.body;
  }
};

void BM_walk_model_all_setups(benchmark::State& state) {
  // Every setup model of the set walked into one keep set: the whole reachable graph.
  std::vector<uint32_t> models;
  for (const auto& [id, record] : portal().records) {
    if ((id >> 24) == dat::kSetupModelRecordType) models.push_back(id);
  }
  const SynthSource source;
  size_t kept = 0;
  for (auto _ : state) {
    dat::KeepSet keep;
    for (uint32_t id : models) dat::walk_model(source, id, keep, 0);
    kept = keep.size();
  }
  state.counters["keys"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(models.size()));
}
BENCHMARK(BM_walk_model_all_setups)->Unit(benchmark::kMillisecond);

void BM_qra_get_file_in_namespace(benchmark::State& state) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("bench-micro-" + std::to_string(::getpid()) + ".qra");
  std::vector<uint32_t> ids;
  {
    auto writer = dat::QraStreamWriter::create(path);
    if (!writer) {
      state.SkipWithError("cannot create the archive");
      return;
    }
    for (const auto& [id, record] : portal().records) {
      if (!writer->add("eor/portal", id, 0, std::span<const uint8_t>(record.body))) {
        state.SkipWithError("cannot add a record");
        return;
      }
      ids.push_back(id);
    }
    if (!std::move(*writer).finish()) {
      state.SkipWithError("cannot finish the archive");
      return;
    }
  }
  auto reader = dat::QraReader::open(path);
  if (!reader) {
    state.SkipWithError("cannot open the archive");
    return;
  }
  std::mt19937 rng(3);
  for (auto _ : state) {
    const uint32_t id = ids[static_cast<size_t>(rng()) % ids.size()];
    auto body = reader->get_file_in_namespace("eor/portal", id);
    if (!body) state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(body);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  std::filesystem::remove(path);
}
BENCHMARK(BM_qra_get_file_in_namespace);

}  // namespace

BENCHMARK_MAIN();
