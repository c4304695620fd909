#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive_test_support.h"
#include "dat/archive.h"

namespace dat {
namespace {

using test::bytes_of;
using test::decode_raw;
using test::ns_bytes;
using test::read_file;
using test::TempDir;

std::vector<uint8_t> repetitive(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>("abcdefgh"[i % 8]);
  return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

class QraWriterTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path path_ = dir_ / "out.qra";

  QraStreamWriter create() {
    auto writer = QraStreamWriter::create(path_);
    EXPECT_TRUE(writer.has_value()) << writer.error().to_string();
    return std::move(*writer);
  }
  void finish(QraStreamWriter writer) {
    auto done = std::move(writer).finish();
    ASSERT_TRUE(done.has_value()) << done.error().to_string();
  }
};

TEST_F(QraWriterTest, EmptyArchiveIsTwentyEightExactBytes) {
  finish(create());
  const std::vector<uint8_t> expected = {
      0x51, 0x52, 0x41, 0x00,                          // magic "QRA\0"
      0x02, 0x00, 0x00, 0x00,                          // version 2
      0x00, 0x00, 0x00, 0x00,                          // entry_count 0
      0x1C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // index_offset 28
      0x04, 0x00, 0x00, 0x00,                          // metadata_size 4
      0x00, 0x00, 0x00, 0x00,                          // span count 0
  };
  EXPECT_EQ(read_file(path_), expected);
}

TEST_F(QraWriterTest, BodiesInAddOrderIndexSortedSpansContiguous) {
  auto writer = create();
  ASSERT_OK(writer.add("eor/portal", 0x0E000002, 0, bytes_of("chargen-stub")));
  ASSERT_OK(writer.add("eor/portal", 0x01000827, 0, bytes_of("model-a-bytes-XXXXXX")));
  ASSERT_OK(writer.add("eor/cell", 0xA9B4FFFF, 7, bytes_of("cell-a9b4-terrain")));
  finish(std::move(writer));

  const auto file = read_file(path_);
  // Bodies back to back from offset 24 in add order: 12 + 20 + 17 bytes.
  EXPECT_EQ(test::text_of({file.begin() + 24, file.begin() + 73}),
            "chargen-stub" "model-a-bytes-XXXXXX" "cell-a9b4-terrain");
  const auto raw = decode_raw(file);
  EXPECT_EQ(raw.header.magic, (std::array<uint8_t, 4>{'Q', 'R', 'A', 0}));
  EXPECT_EQ(raw.header.version, 2u);
  EXPECT_EQ(raw.header.entry_count, 3u);
  EXPECT_EQ(raw.header.metadata_size, 4u + 2 * 40);
  EXPECT_EQ(raw.header.index_offset, 73u + 84);
  EXPECT_EQ(file.size(), 157u + 3 * 60);

  ASSERT_EQ(raw.spans.size(), 2u);
  EXPECT_EQ(raw.spans[0], (QraNamespaceIndexEntry{ns_bytes("eor/cell"), 0, 1}));
  EXPECT_EQ(raw.spans[1], (QraNamespaceIndexEntry{ns_bytes("eor/portal"), 1, 2}));

  ASSERT_EQ(raw.index.size(), 3u);
  EXPECT_EQ(raw.index[0], (QraEntry{ns_bytes("eor/cell"), 0xA9B4FFFF, 7, 56, 17, 17, 0, 0, 0}));
  EXPECT_EQ(raw.index[1], (QraEntry{ns_bytes("eor/portal"), 0x01000827, 0, 36, 20, 20, 0, 0, 0}));
  EXPECT_EQ(raw.index[2], (QraEntry{ns_bytes("eor/portal"), 0x0E000002, 0, 24, 12, 12, 0, 0, 0}));

  // The first index record, byte for byte (pins the field offsets).
  std::vector<uint8_t> expected_entry(32, 0);
  std::memcpy(expected_entry.data(), "eor/cell", 8);
  const uint8_t tail[] = {0xFF, 0xFF, 0xB4, 0xA9,  // file_id
                          0x07, 0x00, 0x00, 0x00,  // type_id
                          0x38, 0, 0, 0, 0, 0, 0, 0,  // offset 56
                          0x11, 0, 0, 0,           // size 17
                          0x11, 0, 0, 0,           // comp_size 17
                          0x00, 0x00, 0x00, 0x00};  // flags, storage_id, reserved
  expected_entry.insert(expected_entry.end(), std::begin(tail), std::end(tail));
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 157, file.begin() + 217), expected_entry);
}

TEST_F(QraWriterTest, SameIdInTwoNamespacesIsTwoRecordsSortedByNamespaceThenId) {
  auto writer = create();
  // Prefix labels sort first; ids sort numerically, not by add order.
  ASSERT_OK(writer.add("eor/cellar", 5, 0, bytes_of("c")));
  ASSERT_OK(writer.add("eor/cell", 0xFFFFFFFF, 0, bytes_of("b")));
  ASSERT_OK(writer.add("eor/cell", 5, 0, bytes_of("a")));
  ASSERT_OK(writer.add("eor", 5, 0, bytes_of("d")));
  finish(std::move(writer));
  const auto raw = decode_raw(read_file(path_));
  ASSERT_EQ(raw.index.size(), 4u);
  const std::pair<const char*, uint32_t> order[] = {{"eor", 5}, {"eor/cell", 5}, {"eor/cell", 0xFFFFFFFF}, {"eor/cellar", 5}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(raw.index[i].ns, ns_bytes(order[i].first)) << i;
    EXPECT_EQ(raw.index[i].file_id, order[i].second) << i;
  }
  ASSERT_EQ(raw.spans.size(), 3u);
  EXPECT_EQ(raw.spans[1], (QraNamespaceIndexEntry{ns_bytes("eor/cell"), 1, 2}));
  EXPECT_EQ(raw.spans[2], (QraNamespaceIndexEntry{ns_bytes("eor/cellar"), 3, 1}));
}

TEST_F(QraWriterTest, StorageDecisionPerRecord) {
  const auto big = repetitive(4096);
  const auto noise = random_bytes(4096, 7);
  auto writer = create();
  ASSERT_OK(writer.add("t", 1, 0, std::vector<uint8_t>{}));
  ASSERT_OK(writer.add("t", 2, 0, big));
  ASSERT_OK(writer.add("t", 3, 0, bytes_of("hello")));
  ASSERT_OK(writer.add("t", 4, 0, noise));
  finish(std::move(writer));

  const auto file = read_file(path_);
  const auto raw = decode_raw(file);
  ASSERT_EQ(raw.index.size(), 4u);
  // Zero bytes: stored raw, no frame.
  EXPECT_EQ(raw.index[0].size, 0u);
  EXPECT_EQ(raw.index[0].comp_size, 0u);
  EXPECT_EQ(raw.index[0].flags, 0u);
  EXPECT_EQ(raw.index[0].offset, 24u);
  // Repetitive: one zstd frame, far shorter.
  EXPECT_EQ(raw.index[1].size, 4096u);
  EXPECT_LT(raw.index[1].comp_size, 4096u / 10);
  EXPECT_EQ(raw.index[1].flags, QraEntry::kFlagCompressed);
  const auto frame = test::body_of(file, raw.index[1]);
  ASSERT_GE(frame.size(), 4u);
  EXPECT_EQ(test::u32_at(frame, 0), 0xFD2FB528u) << "zstd frame magic";
  EXPECT_EQ(decompress_zstd(frame, 4096), big);
  // Short text and random data do not shrink: raw, comp_size == size.
  for (size_t i : {2u, 3u}) {
    EXPECT_EQ(raw.index[i].flags, 0u) << i;
    EXPECT_EQ(raw.index[i].comp_size, raw.index[i].size) << i;
  }
  EXPECT_EQ(test::body_of(file, raw.index[2]), bytes_of("hello"));
  EXPECT_EQ(test::body_of(file, raw.index[3]), noise);
}

TEST_F(QraWriterTest, CompressedBodyDecodesWithTheZstdCommandLineTool) {
  if (!std::filesystem::exists("/usr/bin/zstd")) GTEST_SKIP() << "/usr/bin/zstd is not installed";
  std::vector<uint8_t> data;
  for (int i = 0; i < 2000; ++i) {
    const auto line = bytes_of("line " + std::to_string(i % 37) + " of a repetitive record\n");
    data.insert(data.end(), line.begin(), line.end());
  }
  auto writer = create();
  ASSERT_OK(writer.add("eor/portal", 0x01000001, 0, data));
  finish(std::move(writer));

  const auto file = read_file(path_);
  const auto raw = decode_raw(file);
  ASSERT_EQ(raw.index.size(), 1u);
  ASSERT_EQ(raw.index[0].flags, QraEntry::kFlagCompressed);
  test::write_file(dir_ / "body.zst", test::body_of(file, raw.index[0]));
  const std::string command = "/usr/bin/zstd -q -d -c '" + (dir_ / "body.zst").string() + "' > '" +
                              (dir_ / "body.out").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(read_file(dir_ / "body.out"), data);
}

TEST_F(QraWriterTest, FixtureRecordsAreAllStoredRaw) {
  ASSERT_OK(test::build_fixture(path_));
  const auto file = read_file(path_);
  const auto raw = decode_raw(file);
  ASSERT_EQ(raw.index.size(), 7u);
  ASSERT_EQ(raw.spans.size(), 2u);
  EXPECT_EQ(raw.spans[0], (QraNamespaceIndexEntry{ns_bytes("eor/cell"), 0, 4}));
  EXPECT_EQ(raw.spans[1], (QraNamespaceIndexEntry{ns_bytes("eor/portal"), 4, 3}));
  for (const auto& entry : raw.index) {
    EXPECT_EQ(entry.flags, 0u) << std::hex << entry.file_id;
    EXPECT_EQ(entry.comp_size, entry.size) << std::hex << entry.file_id;
  }
  for (const auto& r : test::kFixtureRecords) {
    const auto found = std::find_if(raw.index.begin(), raw.index.end(), [&](const QraEntry& e) {
      return e.ns == ns_bytes(r.ns) && e.file_id == r.file_id;
    });
    ASSERT_NE(found, raw.index.end()) << r.ns << " " << r.file_id;
    EXPECT_EQ(test::text_of(test::body_of(file, *found)), r.body);
  }
}

TEST_F(QraWriterTest, FixtureBuiltConcurrentlyInTwoDirectoriesIsIdentical) {
  TempDir other;
  DatResult<void> a, b;
  std::thread t1([&] { a = test::build_fixture(path_); });
  std::thread t2([&] { b = test::build_fixture(other / "fixture.qra"); });
  t1.join();
  t2.join();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(read_file(path_), read_file(other / "fixture.qra"));
}

TEST_F(QraWriterTest, DuplicateKeyFailsAndFirstBodyIsKept) {
  auto writer = create();
  ASSERT_OK(writer.add("eor/cell", 0xA9B4FFFF, 0, bytes_of("first")));
  auto dup = writer.add("eor/cell", 0xA9B4FFFF, 0, bytes_of("second body"));
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().kind(), DatError::Kind::DuplicateNamespacedId);
  EXPECT_EQ(dup.error().to_string(), "Duplicate namespaced file eor/cell:A9B4FFFF detected");
  // Same id, other namespace: a different record.
  ASSERT_OK(writer.add("eor/portal", 0xA9B4FFFF, 0, bytes_of("other")));
  finish(std::move(writer));

  const auto file = read_file(path_);
  const auto raw = decode_raw(file);
  ASSERT_EQ(raw.index.size(), 2u);
  EXPECT_EQ(test::body_of(file, raw.index[0]), bytes_of("first"));
  // The refused body never reached the file: the next body follows the first.
  EXPECT_EQ(raw.index[1].offset, 24u + 5);
}

TEST_F(QraWriterTest, InvalidLabelsAreRefusedAndWriteNothing) {
  const std::string thirty_three(33, 'n');
  const std::pair<std::string, std::string> cases[] = {
      {"", "Invalid namespace: namespace label cannot be empty"},
      {thirty_three, "Invalid namespace: namespace label '" + thirty_three + "' exceeds 32 bytes"},
      {std::string("eor\0x", 5),
       "Invalid namespace: namespace label '" + std::string("eor\0x", 5) + "' contains a NUL byte"},
  };
  auto writer = create();
  for (const auto& [label, message] : cases) {
    auto added = writer.add(label, 1, 0, bytes_of("body"));
    ASSERT_FALSE(added) << message;
    EXPECT_EQ(added.error().kind(), DatError::Kind::InvalidNamespace);
    EXPECT_EQ(added.error().to_string(), message);
  }
  finish(std::move(writer));
  EXPECT_EQ(std::filesystem::file_size(path_), 28u);
}

TEST_F(QraWriterTest, DroppedWriterLeavesThePlaceholderHeader) {
  {
    auto writer = create();
    ASSERT_OK(writer.add("eor/cell", 1, 0, bytes_of("body")));
  }
  const auto file = read_file(path_);
  const std::vector<uint8_t> placeholder = {0x51, 0x52, 0x41, 0x00, 2, 0, 0, 0, 0, 0, 0, 0,
                                            0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(file.size(), 28u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 24), placeholder);
  auto reader = QraReader::open(path_);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().to_string(), "Corruption detected: QRA metadata offset 0 is within header area");
}

TEST_F(QraWriterTest, CreateTruncatesAnExistingFileAndUsesMode0666LessUmask) {
  test::write_file(path_, std::vector<uint8_t>(1000, 0xAA));
  finish(create());
  EXPECT_EQ(std::filesystem::file_size(path_), 28u);

  const auto fresh = dir_ / "fresh.qra";
  const mode_t old_mask = ::umask(022);
  auto writer = QraStreamWriter::create(fresh);
  ::umask(old_mask);
  ASSERT_TRUE(writer);
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(QraWriterTest, CreateInAMissingDirectoryIsAnIoError) {
  auto writer = QraStreamWriter::create(dir_ / "no" / "such" / "dir.qra");
  ASSERT_FALSE(writer);
  EXPECT_EQ(writer.error().kind(), DatError::Kind::Io);
  EXPECT_EQ(writer.error().to_string(), "IO error: No such file or directory (os error 2)");
}

TEST_F(QraWriterTest, BorrowedAndOwnedBodiesGiveTheSameArchive) {
  const auto big = repetitive(10000);
  {
    auto writer = create();
    ASSERT_OK(writer.add("a", 1, 0, std::span<const uint8_t>(big)));
    ASSERT_OK(writer.add("a", 2, 0, std::span<const uint8_t>(big).first(3)));
    finish(std::move(writer));
  }
  const auto borrowed = read_file(path_);
  {
    auto writer = create();
    ASSERT_OK(writer.add("a", 1, 0, big));
    ASSERT_OK(writer.add("a", 2, 0, std::vector<uint8_t>(big.begin(), big.begin() + 3)));
    finish(std::move(writer));
  }
  EXPECT_EQ(read_file(path_), borrowed);
}

TEST_F(QraWriterTest, MovedWriterKeepsItsRecords) {
  auto first = create();
  ASSERT_OK(first.add("a", 1, 0, bytes_of("x")));
  QraStreamWriter second = std::move(first);
  ASSERT_OK(second.add("a", 2, 0, bytes_of("y")));
  auto stale = first.add("a", 3, 0, bytes_of("z"));  // NOLINT(bugprone-use-after-move): checked on purpose
  ASSERT_FALSE(stale);
  EXPECT_EQ(stale.error().kind(), DatError::Kind::Other);
  finish(std::move(second));
  EXPECT_EQ(decode_raw(read_file(path_)).index.size(), 2u);
}

TEST_F(QraWriterTest, UnwritableHeaderIsACodecErrorCarryingTheIoFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available";
  auto writer = QraStreamWriter::create("/dev/full");
  ASSERT_FALSE(writer);
  EXPECT_EQ(writer.error().kind(), DatError::Kind::BinRead);
  EXPECT_EQ(writer.error().to_string(), "Binary read error: No space left on device (os error 28)");
}

// Caps the size of files this process writes; writes past it fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit capped = old_;
    capped.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &capped) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
  bool ok_ = false;
};

TEST_F(QraWriterTest, FailedBodyWriteIsIoAndKeepsTheKeyTaken) {
  auto writer = create();
  DatResult<void> body_failure, retry, finish_failure;
  {
    FileSizeLimit limit(100);
    if (!limit.ok()) GTEST_SKIP() << "cannot lower RLIMIT_FSIZE";
    ASSERT_OK(writer.add("eor/cell", 1, 0, random_bytes(50, 1)));      // file ends at 74
    body_failure = writer.add("eor/cell", 2, 0, random_bytes(100, 2));  // passes the limit
    retry = writer.add("eor/cell", 2, 0, bytes_of("again"));
    finish_failure = std::move(writer).finish();
  }
  ASSERT_FALSE(body_failure);
  EXPECT_EQ(body_failure.error().kind(), DatError::Kind::Io);
  EXPECT_EQ(body_failure.error().to_string(), "IO error: File too large (os error 27)");
  ASSERT_FALSE(retry);
  EXPECT_EQ(retry.error().kind(), DatError::Kind::DuplicateNamespacedId);
  // The bytes that reached the file stay there; the flush of the span table fails.
  ASSERT_FALSE(finish_failure);
  EXPECT_EQ(finish_failure.error().kind(), DatError::Kind::Io);
  EXPECT_EQ(std::filesystem::file_size(path_), 100u);
}

// A read-only mapping of 4 GiB reserves address space without touching
// memory, so the writer can be handed a body that large.
class HugeMapping {
 public:
  explicit HugeMapping(size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : p;
  }
  ~HugeMapping() {
    if (data_) ::munmap(data_, size_);
  }
  std::span<const uint8_t> span() const { return {static_cast<const uint8_t*>(data_), size_}; }
  bool ok() const { return data_ != nullptr; }

 private:
  size_t size_;
  void* data_;
};

TEST_F(QraWriterTest, RecordOfFourGibOrMoreIsRefusedWithoutTakingTheKey) {
  HugeMapping huge((size_t{1} << 32) + 1);
  if (!huge.ok()) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  auto writer = create();
  for (size_t size : {size_t{1} << 32, (size_t{1} << 32) + 1}) {
    auto added = writer.add("eor/cell", 0x10, 0, huge.span().first(size));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind(), DatError::Kind::Other);
    EXPECT_THAT(added.error().to_string(), ::testing::HasSubstr("eor/cell:0x00000010"));
    EXPECT_THAT(added.error().to_string(), ::testing::HasSubstr("smaller than 4 GiB"));
  }
  EXPECT_EQ(std::filesystem::file_size(path_), 24u) << "nothing written for a refused record";
  ASSERT_OK(writer.add("eor/cell", 0x10, 0, bytes_of("fits")));
  finish(std::move(writer));
  EXPECT_EQ(decode_raw(read_file(path_)).index.size(), 1u);
}

}  // namespace
}  // namespace dat
