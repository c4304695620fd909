#pragma once
// File-system primitives the shard tool writes a distribution with. Private to
// the tool library (dat_shard.cpp); nothing here is part of its interface.
//
// Two promises rest on them:
//
// Containment. Every entry the tool makes inside the output directory
// ("shards", prefix and namespace directories, "manifest", every file, every
// temporary name) is created relative to an open descriptor of its parent and
// never through a symbolic link: a directory is opened with O_NOFOLLOW, a
// file is created with O_EXCL | O_NOFOLLOW, and a symbolic link that already
// sits where one of them is to be written is refused (FsError::symlink). The
// output directory's own path is the user's and may pass through links. The
// one exception is a convention link, whose path is expected to hold a
// symbolic link: it is replaced, never followed.
//
// Crash consistency. Files that a manifest describes in place (the boot
// archive, the catalogs, manifest.json itself) are written under a temporary
// name ".<name>.tmp-<pid>" in the same directory, flushed, and renamed over
// the final name, so a reader sees the old file or the new one, never a
// partial one. Content-addressed shards are created exclusively under their
// final name (a fresh run pays nothing extra) and, when one exists already,
// kept if it holds exactly the right bytes and replaced the same atomic way
// otherwise. Links are replaced by a new link renamed over the old one.
// ManifestGuard withdraws an existing manifest before the run changes any
// file it may describe, so an interrupted rerun with different content leaves
// no manifest rather than a wrong one.
//
// Everything runs on the calling thread; descriptors are owned and closed by
// the objects holding them.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tools::output_fs {

// Why a step failed: an operating-system error number, or a symbolic link
// found where an entry of ours was to be written (`symlink`; `path` names it).
// `writing` tells a failure to put a file's bytes on disk (write, fsync) from
// one to create, open or rename it, so callers can word the two apart.
struct FsError {
  int code = 0;
  bool symlink = false;
  std::string path;  // display path of the entry concerned
  bool writing = false;

  static FsError os(int code, std::string path) { return FsError{code, false, std::move(path), false}; }
  static FsError link(std::string path) { return FsError{0, true, std::move(path), false}; }
  static FsError write(int code, std::string path) { return FsError{code, false, std::move(path), true}; }
};

template <typename T>
using FsResult = std::expected<T, FsError>;

// The one-line message of a refused symbolic link at `path`.
std::string symlink_refusal(const std::string& path);

// A directory held open. Move-only; closes its descriptor.
class Dir {
 public:
  // Opens an existing directory by path (links among its components are
  // followed: this is the user's output directory).
  static FsResult<Dir> open_path(const std::string& path);

  Dir() = default;
  Dir(Dir&& other) noexcept;
  Dir& operator=(Dir&& other) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir();

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // The directory's display path, as given or joined.
  const std::string& path() const { return path_; }
  // Display path of an entry of this directory.
  std::string child(std::string_view name) const;

  // Creates the sub-directory `name` (0777 before the umask) when missing and
  // opens it. A symbolic link at `name` is refused; any other non-directory
  // there fails with EEXIST.
  FsResult<Dir> subdir(std::string_view name) const;

  // Fails with FsError::link when `name` is a symbolic link; absent or any
  // other kind of entry is fine.
  FsResult<void> refuse_symlink(std::string_view name) const;

 private:
  Dir(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// What happened to an entry.
enum class Placed {
  Created,   // it did not exist
  Kept,      // it existed with exactly the right content
  Replaced,  // it existed with other content and was replaced atomically
};

// Withdraws the manifest.json of `root` (if one is there) the first time the
// run is about to change a file that manifest may describe, and makes the
// removal durable before the change is made. Later calls do nothing.
class ManifestGuard {
 public:
  explicit ManifestGuard(const Dir& root) : root_(&root) {}
  FsResult<void> before_change();
  bool withdrawn() const { return withdrawn_; }

 private:
  const Dir* root_;
  bool withdrawn_ = false;
};

// A file written under a temporary name in `dir` and renamed over its final
// name by commit(). Removed again when dropped uncommitted; `dir` must
// outlive it. Move-only.
class TempFile {
 public:
  // Creates ".<name>.tmp-<pid>" exclusively (O_EXCL | O_NOFOLLOW, 0666
  // before the umask). A leftover of the same name (pid reuse) is replaced.
  static FsResult<TempFile> create(const Dir& dir, std::string_view name);

  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  ~TempFile();

  int fd() const { return fd_; }
  FsResult<void> write(std::span<const uint8_t> bytes);
  // fsync of the file.
  FsResult<void> sync();
  // Renames the file over `name` (a symbolic link there is refused first)
  // and closes it. Errors carry the final path.
  FsResult<void> commit();
  // Keeps an existing regular file at `name` that holds exactly this file's
  // bytes (and drops this one); otherwise consults `guard` when something is
  // there and commits. A symbolic link at `name` is refused.
  FsResult<Placed> commit_unless_same(ManifestGuard& guard);

 private:
  TempFile(const Dir& dir, std::string name, std::string temp, int fd)
      : dir_(&dir), name_(std::move(name)), temp_(std::move(temp)), fd_(fd) {}
  void discard() noexcept;
  FsResult<bool> same_as_existing();

  const Dir* dir_;
  std::string name_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Writes `bytes` to `name` in `dir` through a temporary file. With `guard`,
// an existing file holding exactly these bytes is kept, and the guard is
// consulted before an existing file is replaced; without it the file is
// always replaced. Flushed (fsync) before the rename.
FsResult<Placed> replace_file(const Dir& dir, std::string_view name, std::span<const uint8_t> bytes,
                              ManifestGuard* guard);

// Writes a content-addressed file: created exclusively under `name`; when
// present already, kept if it holds exactly `bytes`, else replaced
// atomically. A symbolic link at `name` is refused.
FsResult<Placed> put_shard(const Dir& dir, std::string_view name, std::span<const uint8_t> bytes);

// Makes `name` a symbolic link with exactly `target`: created when absent,
// kept when it already is that link, otherwise replaced by a new link renamed
// over it (after consulting `guard`). Whatever sits at `name` is replaced,
// never followed.
FsResult<Placed> put_link(const Dir& dir, std::string_view name, const std::string& target, ManifestGuard& guard);

// The whole of `name` in `dir`, not following a symbolic link there.
FsResult<std::vector<uint8_t>> read_file(const Dir& dir, std::string_view name);

// syncfs of the file system holding `dir`: every file written so far is on
// disk when it returns.
FsResult<void> sync_file_system(const Dir& dir);
// fsync of the directory itself (its entries' names).
FsResult<void> sync_dir(const Dir& dir);

}  // namespace tools::output_fs
