#include "encrypted_index/core_record.h"

#include <flatbuffers/flatbuffers.h>

#include <stdexcept>

#include "encrypted_index/core_record_generated.h"

namespace tavrin {
namespace {

constexpr const char kBufferEmpty[] = "Could not deserialize index config: buffer is empty";
constexpr const char kBufferInvalid[] = "Could not deserialize index config: buffer is invalid";
constexpr size_t kMaxBufferSize = 0x7FFFFFFF;

}  // namespace

Bytes serialize_core_record(const CoreRecord& record) {
  flatbuffers::FlatBufferBuilder fbb(1024);
  auto note = fbb.CreateString(record.note);
  fb::CoreRecordTableBuilder table(fbb);
  table.add_format(record.format);
  table.add_note(note);
  table.add_row_size(record.row_size);
  table.add_vector_bytes(record.vector_bytes);
  table.add_n_lists(record.n_lists);
  table.add_rounds(record.rounds);
  fbb.Finish(table.Finish());
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

CoreRecord deserialize_core_record(const Bytes& buffer) {
  if (buffer.empty()) throw std::runtime_error(kBufferEmpty);
  if (buffer.size() > kMaxBufferSize) throw std::runtime_error(kBufferInvalid);
  flatbuffers::Verifier::Options options;
  options.max_depth = 64;
  options.max_tables = 1000000;
  options.check_alignment = true;
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), options);
  if (!fb::VerifyCoreRecordTableBuffer(verifier)) throw std::runtime_error(kBufferInvalid);

  const fb::CoreRecordTable* table = fb::GetCoreRecordTable(buffer.data());
  CoreRecord record;
  record.rounds = table->rounds();
  record.n_lists = table->n_lists();
  record.vector_bytes = table->vector_bytes();
  record.row_size = table->row_size();
  if (const flatbuffers::String* note = table->note()) record.note = note->str();
  record.format = table->format();
  return record;
}

}  // namespace tavrin
