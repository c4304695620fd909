// bench-floor: the least work a shard run needs on this machine, done with
// plain system calls and the libraries the tool uses, over the same bodies.
//
//   bench-floor --measure M --out-dir DIR [--input FILE.qra] [--dat-dir DIR]
//
// The bundle (and, for the ingest floors, the source's index) is loaded
// untimed; then only the steps of measure M are timed:
//
//   hash            SHA-256 over every body
//   flat_files      one file per distinct body in one existing folder
//   catalog_files   the same under the 256 two-hex-digit prefix folders
//   links           one relative symlink per record in per-namespace folders
//   archive_ingest  read the archive sequentially into memory, zstd-decompress
//                   the bodies stored compressed
//   dat_ingest      read the DATs sequentially into memory, gather and
//                   LRS-decompress the records stored compressed
//
// Measures: catalog-archive, flat-archive, catalog-dat, ingest-archive,
// ingest-dat. Prints one JSON object with the step times in seconds, their
// total, the record count and the body bytes. DIR must not hold a previous
// run's output (the harness clears it).
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dat/archive.h"
#include "dat/database.h"
#include "dat/utils.h"
#include "dat_shard.h"
#include "manifest/v2.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "bench-floor: %s\n", text.c_str());
  std::exit(1);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint8_t> read_whole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) die("stat " + path);
  std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("read " + path);
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return out;
}

void write_file(const std::string& path, const std::vector<uint8_t>& body) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) die("create " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < body.size()) {
    const ssize_t n = ::write(fd, body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("write " + path + ": " + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) die("close " + path);
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) die("mkdir " + path + ": " + std::strerror(errno));
}

void hex(char* out, const uint8_t* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
}

struct DigestHash {
  size_t operator()(const std::array<uint8_t, 32>& d) const noexcept {
    size_t v;
    std::memcpy(&v, d.data(), sizeof v);
    return v;
  }
};

struct Bodies {
  std::vector<const tools::RecordKey*> keys;
  std::vector<const std::vector<uint8_t>*> bodies;
  std::vector<std::array<uint8_t, 32>> digests;
  uint64_t bytes = 0;
};

double time_hash(Bodies& b) {
  const auto start = Clock::now();
  b.digests.clear();
  b.digests.reserve(b.bodies.size());
  for (const std::vector<uint8_t>* body : b.bodies) {
    std::array<uint8_t, 32> d;
    SHA256(body->data(), body->size(), d.data());
    b.digests.push_back(d);
  }
  return seconds_since(start);
}

double time_flat_files(const Bodies& b, const std::string& out) {
  make_dir(out);
  const std::string dir = out + "/shards";
  make_dir(dir);  // the one existing folder; created untimed
  const auto start = Clock::now();
  std::unordered_set<std::array<uint8_t, 32>, DigestHash> seen;
  seen.reserve(b.bodies.size());
  std::string path = dir + "/" + std::string(64, '0') + ".bin";
  const size_t at = dir.size() + 1;
  for (size_t i = 0; i < b.bodies.size(); ++i) {
    if (!seen.insert(b.digests[i]).second) continue;
    hex(path.data() + at, b.digests[i].data(), 32);
    write_file(path, *b.bodies[i]);
  }
  return seconds_since(start);
}

// Catalog files and links; returns {files, links}.
std::pair<double, double> time_catalog(const Bodies& b, const std::string& out) {
  make_dir(out);
  const std::string dir = out + "/shards";
  make_dir(dir);
  auto start = Clock::now();
  std::unordered_set<std::array<uint8_t, 32>, DigestHash> seen;
  seen.reserve(b.bodies.size());
  std::array<bool, 256> made{};
  // shards/<h2>/<h32>.bin
  std::string path = dir + "/00/" + std::string(32, '0') + ".bin";
  const size_t at = dir.size() + 1;
  for (size_t i = 0; i < b.bodies.size(); ++i) {
    std::array<uint8_t, 32> prefix{};
    std::memcpy(prefix.data(), b.digests[i].data(), 16);
    if (!seen.insert(prefix).second) continue;
    hex(path.data() + at, prefix.data(), 1);
    if (!made[prefix[0]]) {
      make_dir(path.substr(0, at + 2));
      made[prefix[0]] = true;
    }
    hex(path.data() + at + 3, prefix.data(), 16);
    write_file(path, *b.bodies[i]);
  }
  const double files = seconds_since(start);

  start = Clock::now();
  std::string target = "../00/" + std::string(32, '0') + ".bin";
  std::string link;
  const std::string* label = nullptr;
  std::string ns_dir;
  for (size_t i = 0; i < b.bodies.size(); ++i) {
    if (label == nullptr || *label != b.keys[i]->first) {
      label = &b.keys[i]->first;
      ns_dir = dir + "/" + manifest::namespace_slug(*label);
      make_dir(ns_dir);
    }
    hex(target.data() + 3, b.digests[i].data(), 1);
    hex(target.data() + 6, b.digests[i].data(), 16);
    char name[32];
    std::snprintf(name, sizeof name, "/0x%08X.bin", b.keys[i]->second);
    link = ns_dir;
    link += name;
    if (::symlink(target.c_str(), link.c_str()) != 0) die("symlink " + link + ": " + std::strerror(errno));
  }
  return {files, seconds_since(start)};
}

double time_archive_ingest(const std::string& input) {
  auto reader = dat::QraReader::open(input);
  if (!reader) die("open " + input + ": " + reader.error().to_string());
  auto index = reader->read_index();
  if (!index) die("index " + input + ": " + index.error().to_string());

  const auto start = Clock::now();
  const std::vector<uint8_t> file = read_whole(input);
  std::vector<std::vector<uint8_t>> out;
  out.reserve(index->size());
  for (const dat::QraEntry& e : *index) {
    if ((e.flags & dat::QraEntry::kFlagCompressed) == 0) continue;
    std::vector<uint8_t> body(e.size);
    const size_t n = ZSTD_decompress(body.data(), body.size(), file.data() + e.offset, e.comp_size);
    if (ZSTD_isError(n) || n != e.size) die("zstd: bad frame");
    out.push_back(std::move(body));
  }
  return seconds_since(start);
}

double time_dat_ingest(const std::vector<std::string>& paths) {
  struct Stored {
    uint32_t offset;
    uint32_t size;
  };
  struct Dat {
    std::string path;
    uint32_t block_size;
    std::vector<Stored> compressed;
  };
  std::vector<Dat> dats;
  for (const std::string& path : paths) {
    auto db = dat::DatDatabase::open(path);
    if (!db) die("open " + path + ": " + db.error().to_string());
    Dat d{path, db->header().block_size, {}};
    for (const auto& [id, entry] : db->files()) {
      if (entry.compressed()) d.compressed.push_back({entry.offset, entry.size});
    }
    dats.push_back(std::move(d));
  }

  const auto start = Clock::now();
  std::vector<std::vector<uint8_t>> out;
  for (const Dat& d : dats) {
    const std::vector<uint8_t> file = read_whole(d.path);
    const size_t payload = d.block_size - dat::kDatBlockLinkSize;
    std::vector<uint8_t> stored;
    for (const Stored& s : d.compressed) {
      stored.resize(s.size);
      size_t block = s.offset;
      size_t written = 0;
      while (written < s.size) {
        uint32_t link;
        std::memcpy(&link, file.data() + block, 4);
        const size_t take = link == 0 ? s.size - written : std::min<size_t>(s.size - written, payload);
        std::memcpy(stored.data() + written, file.data() + block + 4, take);
        written += take;
        block = link;
      }
      out.push_back(dat::decompress_lrs(stored));
    }
  }
  return seconds_since(start);
}

Bodies collect(const tools::InputBundle& bundle) {
  Bodies b;
  for (const auto& [key, body] : bundle.records) {
    b.keys.push_back(&key);
    b.bodies.push_back(&body);
    b.bytes += body.size();
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string measure;
  std::string out;
  std::string input;
  std::string dat_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--measure") measure = argv[i + 1];
    else if (flag == "--out-dir") out = argv[i + 1];
    else if (flag == "--input") input = argv[i + 1];
    else if (flag == "--dat-dir") dat_dir = argv[i + 1];
    else die("unknown option " + std::string(flag));
  }
  const bool from_dats = measure == "catalog-dat" || measure == "ingest-dat";
  if (measure.empty() || out.empty() || (from_dats ? dat_dir.empty() : input.empty())) {
    die("usage: bench-floor --measure M --out-dir DIR (--input FILE.qra | --dat-dir DIR)");
  }
  const std::vector<std::string> dat_paths = {dat_dir + "/portal.dat", dat_dir + "/cell.dat", dat_dir + "/local.dat"};

  tools::DatShardOptions options;
  if (from_dats) {
    options.eor_portal = dat_paths[0];
    options.eor_cell = dat_paths[1];
    options.eor_local = dat_paths[2];
  } else {
    options.input = input;
  }
  auto bundle = tools::read_input_bundle(options);
  if (!bundle) die(bundle.error().message());
  Bodies b = collect(*bundle);

  std::map<std::string, double> steps;
  if (measure == "catalog-archive" || measure == "flat-archive" || measure == "ingest-archive") {
    steps["archive_ingest"] = time_archive_ingest(input);
  } else if (measure == "catalog-dat" || measure == "ingest-dat") {
    steps["dat_ingest"] = time_dat_ingest(dat_paths);
  } else {
    die("unknown measure " + measure);
  }
  if (measure == "catalog-archive" || measure == "flat-archive" || measure == "catalog-dat") {
    steps["hash"] = time_hash(b);
    if (measure == "flat-archive") {
      steps["flat_files"] = time_flat_files(b, out);
    } else {
      const auto [files, links] = time_catalog(b, out);
      steps["catalog_files"] = files;
      steps["links"] = links;
    }
  }

  double total = 0;
  std::string json = "{\"measure\": \"" + measure + "\"";
  for (const auto& [name, secs] : steps) {
    total += secs;
    char buf[96];
    std::snprintf(buf, sizeof buf, ", \"%s\": %.6f", name.c_str(), secs);
    json += buf;
  }
  char tail[160];
  std::snprintf(tail, sizeof tail, ", \"total\": %.6f, \"records\": %zu, \"body_bytes\": %llu}\n", total,
                b.bodies.size(), static_cast<unsigned long long>(b.bytes));
  json += tail;
  std::fputs(json.c_str(), stdout);
  return 0;
}
