#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/cursor.h"
#include "manifest/catalog.h"
#include "manifest/manifest.h"

namespace manifest {
namespace {

using Bytes = std::vector<uint8_t>;

// Bit-at-a-time CRC-32 (reflected 0xEDB88320), independent of zlib.
uint32_t reference_crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A catalog file around a hand-made entry stream: header with `count`, the
// stream, a correct CRC and the trailer.
Bytes file_with_stream(uint32_t count, const Bytes& stream, uint8_t version = 1, uint8_t flags = 0) {
  Bytes out = {'Q', 'R', 'N', 'S', version, flags, 0, 0};
  put_u32(out, count);
  put_u32(out, 0);
  out.insert(out.end(), stream.begin(), stream.end());
  put_u32(out, reference_crc32(out));
  out.insert(out.end(), {'S', 'N', 'R', 'Q'});
  return out;
}

// Replaces the CRC of a file whose body was edited.
void refresh_crc(Bytes& file) {
  const uint32_t crc = reference_crc32(std::span<const uint8_t>(file).first(file.size() - 8));
  for (int i = 0; i < 4; ++i) file[file.size() - 8 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
}

std::array<uint8_t, 16> prefix_of(std::string_view body) {
  const auto digest = sha256_digest({reinterpret_cast<const uint8_t*>(body.data()), body.size()});
  std::array<uint8_t, 16> prefix{};
  std::copy_n(digest.begin(), 16, prefix.begin());
  return prefix;
}

std::array<uint8_t, 16> filled(uint8_t value) {
  std::array<uint8_t, 16> prefix{};
  prefix.fill(value);
  return prefix;
}

Bytes leb(uint64_t value) {
  Bytes out;
  write_uleb128(out, value);
  return out;
}

Bytes entry_bytes(uint64_t delta, uint8_t prefix_byte, uint64_t size) {
  Bytes out = leb(delta);
  const auto prefix = filled(prefix_byte);
  out.insert(out.end(), prefix.begin(), prefix.end());
  const Bytes s = leb(size);
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Crc32Ieee, MatchesTheStandardCheckValueAndAReference) {
  const std::string_view check = "123456789";
  EXPECT_EQ(crc32_ieee({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
  std::mt19937 rng(7);
  Bytes data(4099);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t len : {size_t{16}, size_t{17}, size_t{1000}, data.size()}) {
    const auto part = std::span<const uint8_t>(data).first(len);
    EXPECT_EQ(crc32_ieee(part), reference_crc32(part)) << len;
  }
}

TEST(Leb128, ShortestFormRoundTrips) {
  const struct {
    uint64_t value;
    Bytes encoded;
  } cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x80, 0x80, 0x01}},
      {0x0E000002, {0x82, 0x80, 0x80, 0x70}},
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(leb(c.value), c.encoded) << c.value;
    // Read from the middle of a stream, with bytes after the value.
    Bytes stream = {0xEE};
    stream.insert(stream.end(), c.encoded.begin(), c.encoded.end());
    stream.push_back(0x55);
    size_t pos = 1;
    const auto value = read_uleb128(stream, pos);
    ASSERT_TRUE(value.has_value()) << c.value;
    EXPECT_EQ(*value, c.value);
    EXPECT_EQ(pos, 1 + c.encoded.size());
  }
}

TEST(Leb128, ReadingIsBoundedAndLeavesThePositionOnFailure) {
  const Bytes nine_ff(9, 0xFF);
  const struct {
    Bytes stream;
    size_t start;
    std::optional<uint64_t> value;
    size_t end;
  } cases[] = {
      {{}, 0, std::nullopt, 0},
      {{0x80}, 0, std::nullopt, 0},               // stream ends inside the value
      {{0x01, 0xFF, 0xFF}, 1, std::nullopt, 1},   // ends inside, from a later start
      {{0x01}, 1, std::nullopt, 1},               // start at the end
      {{0x01}, 5, std::nullopt, 5},               // start past the end
      {concat({nine_ff, {0x80}}), 0, std::nullopt, 0},  // tenth byte still continues
      {concat({nine_ff, {0xFF, 0x01}}), 0, std::nullopt, 0},
      {concat({nine_ff, {0x7F}}), 0, UINT64_MAX, 10},   // only bit 0 of the tenth byte counts
      {concat({nine_ff, {0x7E}}), 0, 0x7FFFFFFFFFFFFFFFu, 10},
      {concat({nine_ff, {0x00}}), 0, 0x7FFFFFFFFFFFFFFFu, 10},
      {{0x80, 0x00}, 0, 0, 2},                    // non-shortest forms still read
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 0, 0, 10},
  };
  for (const auto& c : cases) {
    size_t pos = c.start;
    EXPECT_EQ(read_uleb128(c.stream, pos), c.value);
    EXPECT_EQ(pos, c.end);
  }
}

TEST(NamespaceCatalogEncode, EmptyCatalogIsTheTwentyFourByteFile) {
  const NamespaceCatalog catalog("eor/local", 0, {});
  const Bytes expected = {0x51, 0x52, 0x4E, 0x53, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0xA2, 0xF2, 0x52, 0x09, 0x53, 0x4E, 0x52, 0x51};
  EXPECT_EQ(catalog.encode(), expected);
  EXPECT_EQ(catalog.encode_body(), Bytes(expected.begin(), expected.begin() + 16));
  const auto back = NamespaceCatalog::read_from(expected, "eor/local");
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  EXPECT_EQ(*back, catalog);
}

TEST(NamespaceCatalogEncode, OneEntryIsTheFortyFiveByteFile) {
  const auto prefix = prefix_of("chargen-stub");
  const NamespaceCatalog catalog("eor/portal", 0, {{prefix, 12, 0x0E000002}});
  const Bytes file = catalog.encode();
  ASSERT_EQ(file.size(), 45u);
  const Bytes header = {0x51, 0x52, 0x4E, 0x53, 0x01, 0x00, 0x00, 0x00,
                        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);
  EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 20), (Bytes{0x82, 0x80, 0x80, 0x70}));
  EXPECT_EQ(Bytes(file.begin() + 20, file.begin() + 36), Bytes(prefix.begin(), prefix.end()));
  EXPECT_EQ(file[36], 0x0C);
  const uint32_t crc = reference_crc32(std::span<const uint8_t>(file).first(37));
  EXPECT_EQ(Bytes(file.begin() + 37, file.begin() + 41),
            (Bytes{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc >> 16),
                   static_cast<uint8_t>(crc >> 24)}));
  EXPECT_EQ(Bytes(file.begin() + 41, file.end()), (Bytes{0x53, 0x4E, 0x52, 0x51}));

  const auto back = NamespaceCatalog::read_from(file, "eor/portal");
  ASSERT_TRUE(back.has_value()) << back.error().to_string();
  EXPECT_EQ(*back, catalog);
}

TEST(NamespaceCatalogEncode, ConstructorSortsStablyByFileId) {
  const NamespaceCatalog catalog("ns", 0,
                                 {{filled(1), 10, 9}, {filled(2), 20, 7}, {filled(3), 30, 7}, {filled(4), 40, 0}});
  ASSERT_EQ(catalog.entries().size(), 4u);
  EXPECT_EQ(catalog.entries()[0].file_id, 0u);
  EXPECT_EQ(catalog.entries()[1].size, 20u);  // the two 7s keep their order
  EXPECT_EQ(catalog.entries()[2].size, 30u);
  EXPECT_EQ(catalog.entries()[3].file_id, 9u);

  const auto back = NamespaceCatalog::read_from(catalog.encode(), "other");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->ns(), "other");
  EXPECT_EQ(back->flags(), 0);
  EXPECT_EQ(back->entries(), catalog.entries());
}

TEST(NamespaceCatalogEncode, RepeatedIdsEncodeAsZeroDeltas) {
  const NamespaceCatalog catalog("ns", 0, {{filled(0xAA), 1, 7}, {filled(0xBB), 2, 5}, {filled(0xCC), 3, 5}});
  const Bytes body = catalog.encode_body();
  const Bytes expected_stream =
      concat({entry_bytes(5, 0xBB, 2), entry_bytes(0, 0xCC, 3), entry_bytes(2, 0xAA, 1)});
  EXPECT_EQ(Bytes(body.begin() + 16, body.end()), expected_stream);
  const auto back = NamespaceCatalog::read_from(catalog.encode(), "ns");
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(back->entries().size(), 3u);
  EXPECT_EQ(back->entries()[0].file_id, 5u);
  EXPECT_EQ(back->entries()[1].file_id, 5u);
  EXPECT_EQ(back->entries()[2].file_id, 7u);
  EXPECT_EQ(back->entries(), catalog.entries());
}

TEST(NamespaceCatalogEncode, ExtremeValuesTakeTheLongestEntry) {
  const NamespaceCatalog catalog("ns", 0, {{filled(0xFF), UINT64_MAX, 0xFFFFFFFF}});
  const Bytes file = catalog.encode();
  EXPECT_EQ(file.size(), 24u + 31u);
  const auto back = NamespaceCatalog::read_from(file, "ns");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, catalog);
}

TEST(NamespaceCatalogEncode, RandomCatalogsRoundTrip) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 20; ++round) {
    std::vector<CatalogEntry> entries(rng() % 300);
    for (auto& e : entries) {
      for (auto& b : e.sha256_prefix) b = static_cast<uint8_t>(rng());
      e.size = rng() >> (rng() % 64);
      e.file_id = static_cast<uint32_t>(rng() >> (32 + rng() % 32));
    }
    const NamespaceCatalog catalog("eor/cell", 0, entries);
    const Bytes file = catalog.encode();
    EXPECT_GE(file.size(), 24 + 18 * entries.size());
    EXPECT_LE(file.size(), 24 + 31 * entries.size());
    const auto back = NamespaceCatalog::read_from(file, "eor/cell");
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back, catalog);
  }
}

TEST(CatalogError, DisplayAndDebugTexts) {
  const struct {
    CatalogError error;
    const char* text;
    const char* debug;
  } cases[] = {
      {CatalogError::bad_magic(), "bad magic \xE2\x80\x94 not a NamespaceCatalog binary", "BadMagic"},
      {CatalogError::bad_trailing_magic(), "bad trailing magic \xE2\x80\x94 file truncated or corrupted",
       "BadTrailingMagic"},
      {CatalogError::unsupported_version(2), "unsupported catalog version 2 (this build expects v1)",
       "UnsupportedVersion(2)"},
      {CatalogError::unsupported_version(255), "unsupported catalog version 255 (this build expects v1)",
       "UnsupportedVersion(255)"},
      {CatalogError::unknown_flags(1), "unknown flag bits 0x01", "UnknownFlags(1)"},
      {CatalogError::unknown_flags(0xFE), "unknown flag bits 0xfe", "UnknownFlags(254)"},
      {CatalogError::crc_mismatch(0x12345678, 0xABCD),
       "crc32 mismatch: header+entries hash to 0000abcd, footer says 12345678",
       "CrcMismatch { expected: 305419896, got: 43981 }"},
      {CatalogError::entry_count_overflow(5, 40), "entry count overflow: declared 5 but only 40 bytes remain",
       "EntryCountOverflow { declared: 5, available: 40 }"},
      {CatalogError::truncated(23), "truncated input at offset 23", "Truncated(23)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.to_string(), c.text);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
}

// A valid two-entry file and named corruptions of it, each with its error.
TEST(NamespaceCatalogRead, RejectsCorruptions) {
  const Bytes stream = concat({entry_bytes(3, 0x11, 100), entry_bytes(300, 0x22, 5)});  // 18 + 19 bytes
  ASSERT_EQ(stream.size(), 37u);
  const Bytes good = file_with_stream(2, stream);
  ASSERT_TRUE(NamespaceCatalog::read_from(good, "ns").has_value());

  const auto edited = [&](size_t offset, uint8_t value) {
    Bytes f = good;
    f[offset] = value;
    return f;
  };
  const auto with_count = [&](uint32_t count) {
    Bytes f = good;
    for (int i = 0; i < 4; ++i) f[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(count >> (8 * i));
    refresh_crc(f);
    return f;
  };
  Bytes longer = good;
  longer.push_back(0);
  Bytes wrong_crc = edited(good.size() - 8, static_cast<uint8_t>(good[good.size() - 8] ^ 0x01));

  const struct {
    const char* name;
    Bytes file;
    CatalogError error;
  } cases[] = {
      {"empty input", {}, CatalogError::truncated(0)},
      {"23 bytes", Bytes(good.begin(), good.begin() + 23), CatalogError::truncated(23)},
      {"23 bytes of anything", Bytes(23, 0xFF), CatalogError::truncated(23)},
      {"magic", edited(0, 'q'), CatalogError::bad_magic()},
      {"magic last byte", edited(3, 'Q'), CatalogError::bad_magic()},
      {"version 2", edited(4, 2), CatalogError::unsupported_version(2)},
      {"version 0", edited(4, 0), CatalogError::unsupported_version(0)},
      {"full-digest flag", edited(5, 0x01), CatalogError::unknown_flags(0x01)},
      {"flags 0x03", edited(5, 0x03), CatalogError::unknown_flags(0x02)},
      {"flags 0x80", edited(5, 0x80), CatalogError::unknown_flags(0x80)},
      {"flags 0xff", edited(5, 0xFF), CatalogError::unknown_flags(0xFE)},
      {"trailer", edited(good.size() - 1, 'R'), CatalogError::bad_trailing_magic()},
      {"one byte too many", longer, CatalogError::bad_trailing_magic()},
      {"stored crc", wrong_crc,
       CatalogError::crc_mismatch(common::load_u32_le(wrong_crc.data() + good.size() - 8),
                                  reference_crc32(std::span<const uint8_t>(good).first(good.size() - 8)))},
      {"count 3 for two entries", with_count(3), CatalogError::truncated(16 + 37)},
      {"count 0xFFFFFFFF", with_count(0xFFFFFFFF), CatalogError::truncated(16 + 37)},
      {"count 1 for two entries", with_count(1), CatalogError::entry_count_overflow(1, 37)},
      {"count 0 for two entries", with_count(0), CatalogError::entry_count_overflow(0, 37)},
      {"prefix cut short", file_with_stream(1, concat({leb(1), Bytes(10, 0xAB)})), CatalogError::truncated(17)},
      {"size missing", file_with_stream(1, concat({leb(1), Bytes(16, 0xAB)})), CatalogError::truncated(33)},
      {"size unterminated", file_with_stream(1, concat({leb(1), Bytes(16, 0xAB), {0x80}})),
       CatalogError::truncated(33)},
      {"delta unterminated", file_with_stream(1, Bytes{0x80, 0x80}), CatalogError::truncated(16)},
      {"second delta missing", file_with_stream(2, entry_bytes(1, 0, 1)), CatalogError::truncated(34)},
      {"ids pass 0xFFFFFFFF", file_with_stream(2, concat({entry_bytes(0xFFFFFFFF, 0, 1), entry_bytes(1, 0, 1)})),
       CatalogError::entry_count_overflow(2, 40)},
      {"empty count with a stray byte", file_with_stream(0, Bytes{0x00}), CatalogError::entry_count_overflow(0, 1)},
  };
  for (const auto& c : cases) {
    const auto read = NamespaceCatalog::read_from(c.file, "ns");
    ASSERT_FALSE(read.has_value()) << c.name;
    EXPECT_EQ(read.error(), c.error) << c.name << ": got " << read.error().debug_string() << ", want "
                                     << c.error.debug_string();
  }
}

TEST(NamespaceCatalogRead, AnyChangedBodyByteIsACrcMismatch) {
  const NamespaceCatalog catalog("ns", 0, {{prefix_of("a"), 1, 2}, {prefix_of("bb"), 2, 0x0E000002}});
  const Bytes good = catalog.encode();
  const size_t body = good.size() - 8;
  const uint32_t stored = common::load_u32_le(good.data() + body);
  for (size_t offset = 6; offset < body; ++offset) {  // past magic, version and flags
    Bytes bad = good;
    bad[offset] ^= 0x40;
    const auto read = NamespaceCatalog::read_from(bad, "ns");
    ASSERT_FALSE(read.has_value()) << offset;
    ASSERT_EQ(read.error().kind(), CatalogError::Kind::CrcMismatch) << offset;
    EXPECT_EQ(read.error().expected_crc(), stored);
    const uint32_t computed = reference_crc32(std::span<const uint8_t>(bad).first(body));
    EXPECT_EQ(read.error().got_crc(), computed);
    char text[96];
    std::snprintf(text, sizeof text, "crc32 mismatch: header+entries hash to %08x, footer says %08x", computed,
                  stored);
    EXPECT_EQ(read.error().to_string(), text);
  }
}

TEST(NamespaceCatalogRead, ReservedBytesAreNotChecked) {
  Bytes file = NamespaceCatalog("ns", 0, {{filled(7), 3, 4}}).encode();
  file[6] = 0xAA;
  file[7] = 0xBB;
  file[12] = 0xCC;
  file[15] = 0xDD;
  refresh_crc(file);
  const auto read = NamespaceCatalog::read_from(file, "ns");
  ASSERT_TRUE(read.has_value()) << read.error().to_string();
  EXPECT_EQ(read->entries(), (std::vector<CatalogEntry>{{filled(7), 3, 4}}));
}

TEST(NamespaceCatalogRead, OnlyTheLowThirtyTwoBitsOfADeltaCount) {
  // A delta of 2^32 + 5 moves the id by 5.
  const Bytes file = file_with_stream(1, concat({leb((uint64_t{1} << 32) + 5), Bytes(16, 1), leb(9)}));
  const auto read = NamespaceCatalog::read_from(file, "ns");
  ASSERT_TRUE(read.has_value()) << read.error().to_string();
  ASSERT_EQ(read->entries().size(), 1u);
  EXPECT_EQ(read->entries()[0].file_id, 5u);
  EXPECT_EQ(read->entries()[0].size, 9u);
}

TEST(NamespaceCatalogRead, EveryTruncationFails) {
  const Bytes good = NamespaceCatalog("ns", 0, {{filled(1), 1, 1}, {filled(2), 300, 0x0E000002}}).encode();
  for (size_t len = 0; len < good.size(); ++len) {
    const auto read = NamespaceCatalog::read_from(std::span<const uint8_t>(good).first(len), "ns");
    EXPECT_FALSE(read.has_value()) << len;
    if (len < 24) {
      EXPECT_EQ(read.error(), CatalogError::truncated(len));
    }
  }
}

TEST(NamespaceCatalogEncodeDeathTest, FullDigestFlagWithEntriesIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const NamespaceCatalog catalog("ns", CATALOG_FLAG_FULL_SHA256, {{filled(1), 1, 1}});
  EXPECT_DEATH(catalog.encode_body(), "CATALOG_FLAG_FULL_SHA256 not supported in obj 3 codec");
}

TEST(NamespaceCatalogEncode, FullDigestFlagWithoutEntriesEncodesButIsNotReadable) {
  const NamespaceCatalog catalog("ns", CATALOG_FLAG_FULL_SHA256, {});
  const Bytes file = catalog.encode();
  ASSERT_EQ(file.size(), 24u);
  EXPECT_EQ(file[5], CATALOG_FLAG_FULL_SHA256);
  const auto read = NamespaceCatalog::read_from(file, "ns");
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), CatalogError::unknown_flags(1));
}

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/manifest_catalog_XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
  }
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  Bytes contents() const {
    Bytes out;
    const int in = open(path_.c_str(), O_RDONLY);
    uint8_t buf[4096];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    close(in);
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

TEST(NamespaceCatalogWrite, WritesExactlyTheEncodedFile) {
  std::vector<CatalogEntry> entries;
  for (uint32_t i = 0; i < 5000; ++i) entries.push_back({filled(static_cast<uint8_t>(i)), i * 977u, i * 3u});
  const NamespaceCatalog catalog("eor/portal", 0, entries);
  TempFile file;
  ASSERT_GE(file.fd(), 0);
  const auto written = catalog.write_to(file.fd());
  ASSERT_TRUE(written.has_value()) << written.error().to_string();
  EXPECT_EQ(file.contents(), catalog.encode());
}

TEST(NamespaceCatalogWrite, PassesIoErrorsThrough) {
  const NamespaceCatalog catalog("ns", 0, {{filled(1), 1, 1}});
  const int full = open("/dev/full", O_WRONLY);
  if (full >= 0) {
    const auto written = catalog.write_to(full);
    close(full);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), common::IoError::from_errno(ENOSPC));
  }
  const auto bad = catalog.write_to(-1);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), common::IoError::from_errno(EBADF));
}

}  // namespace
}  // namespace manifest
