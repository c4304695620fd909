#pragma once
// ToolError: the one error type of the shard tool. Every fallible operation of
// dat_shard.h returns it. Lower-layer errors are mostly folded into the text
// of a Validation error ("create shards dir \"x\": <os error text>"); DatOpen
// and QraWrite keep the path they concern apart from the message.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/io.h"
#include "dat/error.h"

namespace tools {

class ToolError {
 public:
  // In declaration order; kind_name() gives the name used in the debug form.
  enum class Kind {
    DatOpen,           // opening the input archive or a DAT file failed
    DatRead,           // reading one record failed (id + DatError); raised by nothing today
    QraWrite,          // writing the boot archive failed
    Io,                // a bare operating-system I/O failure; raised by nothing today
    ProgressTemplate,  // a progress display's style template was rejected
    Validation,        // every other failure, with a formatted message
    AssetDerivation,   // deriving an asset failed; raised by nothing today
  };

  static ToolError dat_open(std::filesystem::path path, std::string message);
  static ToolError dat_read(uint32_t id, dat::DatError source);
  static ToolError qra_write(std::filesystem::path path, std::string message);
  static ToolError io(common::IoError error);
  static ToolError progress_template(std::string message);
  static ToolError validation(std::string message);
  static ToolError asset_derivation(std::string message);

  Kind kind() const { return kind_; }
  const char* kind_name() const;

  // Payload accessors; each is meaningful only for the kinds named.
  const std::filesystem::path& path() const { return path_; }  // DatOpen, QraWrite
  // The message payload: DatOpen, QraWrite, ProgressTemplate, Validation, AssetDerivation.
  const std::string& text() const { return text_; }
  uint32_t id() const { return id_; }                                           // DatRead
  const dat::DatError* dat_error() const { return dat_ ? &*dat_ : nullptr; }    // DatRead
  const common::IoError* io_error() const { return io_ ? &*io_ : nullptr; }     // Io

  // One-line human text, as a command line prints it:
  //   Validation, ProgressTemplate, AssetDerivation: the message itself;
  //   DatOpen, QraWrite: path + ": " + message;
  //   DatRead: "read 0x<id lower hex>: " + the DatError's display text;
  //   Io: the I/O error's display text.
  std::string message() const;

  // Diagnostic form: the kind name and its payload, e.g.
  //   Validation("--eor-portal or --input required")
  //   DatOpen { path: "x.qra", message: "Invalid magic for format: QRA" }
  //   DatRead { id: 16, source: NotFound(16) }
  //   Io(Os { code: 2, ... })
  std::string debug_string() const;

 private:
  explicit ToolError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::filesystem::path path_;
  std::string text_;
  uint32_t id_ = 0;
  std::optional<dat::DatError> dat_;
  std::optional<common::IoError> io_;
};

}  // namespace tools
