// Codec of the archive's fixed-layout records. Each record's encoder sits
// beside its decoder; fields are read and written in file order (see
// archive_format.h for the layout).
#include <cassert>

#include "archive/archive_format.h"
#include "dat/archive.h"

namespace dat {

static_assert(QraHeader::kSize == qra::kHeaderSize);
static_assert(QraNamespaceIndexEntry::kSize == qra::kSpanSize);
static_assert(QraEntry::kSize == qra::kEntrySize);
static_assert(QraEntry::kFlagCompressed == qra::kFlagCompressed);
static_assert(QraEntry::kFlagMarker == qra::kFlagMarker);

common::ReadResult<QraHeader> QraHeader::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "QraHeader", qra::kLocation);
  QraHeader h;
  if (auto r = cursor.read_into(h.magic); !r) return std::unexpected(scope.fail(std::move(r).error(), "magic"));
  h.version = READ_FIELD(scope, "version", cursor.read_u32());
  h.entry_count = READ_FIELD(scope, "entry_count", cursor.read_u32());
  h.index_offset = READ_FIELD(scope, "index_offset", cursor.read_u64());
  h.metadata_size = READ_FIELD(scope, "metadata_size", cursor.read_u32());
  return h;
}

void QraHeader::write(common::ByteWriter& out) const {
  [[maybe_unused]] const size_t start = out.size();
  out.put_bytes(magic);
  out.put_u32(version);
  out.put_u32(entry_count);
  out.put_u64(index_offset);
  out.put_u32(metadata_size);
  assert(out.size() - start == kSize);
}

common::ReadResult<QraNamespaceIndexEntry> QraNamespaceIndexEntry::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "QraNamespaceIndexEntry", qra::kLocation);
  QraNamespaceIndexEntry e;
  if (auto r = cursor.read_into(e.ns); !r) return std::unexpected(scope.fail(std::move(r).error(), "namespace"));
  e.start_index = READ_FIELD(scope, "start_index", cursor.read_u32());
  e.entry_count = READ_FIELD(scope, "entry_count", cursor.read_u32());
  return e;
}

void QraNamespaceIndexEntry::write(common::ByteWriter& out) const {
  [[maybe_unused]] const size_t start = out.size();
  out.put_bytes(ns);
  out.put_u32(start_index);
  out.put_u32(entry_count);
  assert(out.size() - start == kSize);
}

common::ReadResult<QraEntry> QraEntry::read(common::ByteCursor& cursor) {
  common::RecordScope scope(cursor, "QraEntry", qra::kLocation);
  QraEntry e;
  if (auto r = cursor.read_into(e.ns); !r) return std::unexpected(scope.fail(std::move(r).error(), "namespace"));
  e.file_id = READ_FIELD(scope, "file_id", cursor.read_u32());
  e.type_id = READ_FIELD(scope, "type_id", cursor.read_u32());
  e.offset = READ_FIELD(scope, "offset", cursor.read_u64());
  e.size = READ_FIELD(scope, "size", cursor.read_u32());
  e.comp_size = READ_FIELD(scope, "comp_size", cursor.read_u32());
  e.flags = READ_FIELD(scope, "flags", cursor.read_u8());
  e.storage_id = READ_FIELD(scope, "storage_id", cursor.read_u8());
  e.reserved = READ_FIELD(scope, "reserved", cursor.read_u16());
  return e;
}

void QraEntry::write(common::ByteWriter& out) const {
  [[maybe_unused]] const size_t start = out.size();
  out.put_bytes(ns);
  out.put_u32(file_id);
  out.put_u32(type_id);
  out.put_u64(offset);
  out.put_u32(size);
  out.put_u32(comp_size);
  out.put_u8(flags);
  out.put_u8(storage_id);
  out.put_u16(reserved);
  assert(out.size() - start == kSize);
}

DatResult<ResourceNamespace> QraEntry::namespace_id() const { return ResourceNamespace::from_bytes(ns); }

}  // namespace dat
