#include "encrypted_index/index_core.h"

#include <algorithm>
#include <omp.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "backing_store/index_listing.h"
#include "backing_store/keystore_factory.h"
#include "common/coding.h"
#include "common/diagnostics.h"
#include "config/index_config.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/core_record.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/item_record.h"
#include "encrypted_index/sealed_row.h"

namespace tavrin {
namespace {

constexpr char kCoreItemSuffix[] = ".cei";

}  // namespace

IndexCore::IndexCore(const IndexParams& params, Mode mode, const StoreFactory& stores,
                     const store::WriteFence* fence)
    : rounds_(params.key_size),
      n_lists_(params.n_lists),
      chunk_(params.write_chunk != 0 ? params.write_chunk : kIngestChunk),
      num_threads_(params.cpu_threads ? *params.cpu_threads : 1),
      gpu_(params.gpu_accelerate.value_or(false)),
      vector_bytes_(params.vector_bytes),
      cache_(params.max_cache_size.value_or(0)),
      index_key_(params.index_key),
      index_name_(params.index_name) {
  if (num_threads_ != 0) omp_set_num_threads(static_cast<int>(num_threads_));
  const IndexKeys keys = derive_index_keys(index_key_, index_name_);
  name_key_ = keys.name_key;
  const StoreFactory factory = stores ? stores : StoreFactory(&store::KeystoreFactory::Create);
  const uint64_t base = keys.hashed_index_name;
  using store::StoreRole;
  index_store_ = factory(params.index_location, index_name_, base, StoreRole::kIndex);
  record_store_ = factory(params.fourth_location, index_name_, base, StoreRole::kRecords);
  config_store_ = factory(params.config_location, index_name_, base, StoreRole::kConfig);
  // With no items location of its own, contents stay with the index's data:
  // kept in process memory they would vanish with the process while the
  // rest of a stored index survives.
  const DBConfig& items = params.items_location.location == Location::NONE
                              ? params.index_location
                              : params.items_location;
  items_store_ = factory(items, index_name_, base, StoreRole::kItems);
  // (The caller raised this index's fences with this number already.)
  if (fence && SetFence(fence, /*raise=*/true) != 0) {
    throw std::runtime_error(std::string("Failed to take the index lease: ") + store::kFenceLostError);
  }

  scope_ = base;
  data_key_ = keys.data_key;
  content_key_ = keys.content_key;
  metadata_key_ = keys.metadata_key;

  if (mode == Mode::kCreate || mode == Mode::kRekey) {
    if (mode == Mode::kCreate) {
      // One transaction where the stores have them, ended by finish_create
      // once the caller has stored its record too: two processes creating
      // the same name cannot both pass the check, and a crash leaves no
      // half-made index that can be neither loaded nor created again.
      creating_ = std::make_unique<store::WriteScope>(this->stores());
      if (params.index_location.location != Location::MEMORY &&
          config_store_->ConfigItemExists(index_name_ + kCoreItemSuffix)) {
        throw std::runtime_error("Index name " + index_name_ + " already exists");
      }
    }
    // Values a rotation could not finish removing may remain under this
    // key and name: a new index (or copy) must not count or read them.
    delete_data();
    if (params.tamper_evident) {
      te_init(params, mode);
      return;
    }
    make_lists(index_key_, /*own_counts=*/true);
    if (mode == Mode::kCreate) write_core_record();
    // A new index has a map from the start: "No map data" then only ever
    // means that a stored index lost its count row.
    lists_->SaveCounts();
  } else {
    const Bytes sealed = config_store_->LoadConfigItem(index_name_ + kCoreItemSuffix);
    CoreRecord record;
    try {
      record = deserialize_core_record(open_row(sealed, index_key_));
    } catch (const std::exception&) {
      // Not sealed the original way: a tamper-evident index, or a wrong key
      // (then the original failure is the one to report).
      te_init(params, Mode::kLoad);
      try {
        record = deserialize_core_record(te_open_config(index_name_ + kCoreItemSuffix, sealed));
      } catch (const std::exception&) {
        tamper_ = false;
      }
      if (!tamper_) throw;
    }
    if (record.n_lists > kMaxLists) {
      throw std::invalid_argument("n_lists cannot be larger than " + std::to_string(kMaxLists) +
                                  ".");
    }
    if (record.n_lists == 0 || record.n_lists > 0xFFFFFFFFu || record.vector_bytes == 0 ||
        record.vector_bytes % 4 != 0 || record.row_size != 8 || record.rounds > 64 ||
        record.format != (tamper_ ? kTamperEvidentFormat : 0)) {
      throw std::runtime_error("Could not deserialize index config: buffer is invalid");
    }
    rounds_ = record.rounds;
    n_lists_ = record.n_lists;
    vector_bytes_ = record.vector_bytes;
    row_size_ = record.row_size;
    core_note_ = record.note;
    index_store_->SetRowSize(row_size_);
    make_lists(tamper_ ? list_key_ : index_key_, /*own_counts=*/!tamper_);
    if (!tamper_) {
      if (params.min_epoch) {
        throw std::invalid_argument("min_epoch applies to tamper-evident indexes only");
      }
      lists_->LoadCounts();
      return;
    }
    te_load_state();
    if (params.min_epoch && state_.epoch < *params.min_epoch) {
      throw IntegrityError("the stores are at epoch " + std::to_string(state_.epoch) +
                           ", older than the " + std::to_string(*params.min_epoch) +
                           " required");
    }
  }
}

IndexParams IndexCore::rekeyed_params(IndexParams params, const Key256& key,
                                      bool tamper_evident) const {
  params.index_key = key;
  params.tamper_evident = tamper_evident;
  params.min_epoch.reset();
  params.key_size = static_cast<uint32_t>(rounds_);
  params.n_lists = static_cast<uint32_t>(n_lists_);
  params.vector_bytes = vector_bytes_;
  return params;
}

void IndexCore::switch_to(const std::string& record_name, const Bytes& index_record) {
  const std::string core_name = index_name_ + kCoreItemSuffix;
  if (tamper_) {
    // The record the loader reads is the state's, committed first: until
    // the switch below nothing reads this copy.
    Write write(*this);
    store_index_record(index_record);
    write.Commit();
    config_store_->PushConfigItems({{core_name, te_seal_config(core_name, core_record())},
                                    {record_name, te_seal_config(record_name, index_record)}});
    return;
  }
  config_store_->PushConfigItems({{core_name, seal_row(core_record(), index_key_)},
                                  {record_name, seal_row(index_record, index_key_)}});
}

void IndexCore::drop_data() {
  // Nothing to save any more, even if a delete below fails: a count row
  // written now would be one more value under the key just retired.
  lists_.reset();
  cache_.Clear();
  delete_data();
}

void IndexCore::delete_data() {
  for (store::Keystore* s : {index_store_.get(), record_store_.get(), items_store_.get()}) {
    if (s->CountItems() != 0) s->DeleteIndex();
  }
}

void IndexCore::finish_create() {
  if (creating_) creating_->Commit();
  creating_.reset();
}

IndexCore::~IndexCore() {
  if (creating_) {
    creating_.reset();  // never finished: nothing of it is kept
    return;
  }
  // Only counts this handle has not stored: writing back counts it merely
  // read would undo the upserts another process made since.
  if (!lists_ || !lists_->unsaved()) return;
  try {
    lists_->SaveCounts();
  } catch (const std::exception& e) {
    Warn(std::string("Warning: could not save the list counts: ") + e.what());
  } catch (...) {
    Warn("Warning: could not save the list counts.");
  }
}

Bytes IndexCore::core_record() const {
  CoreRecord record;
  record.rounds = rounds_;
  record.n_lists = n_lists_;
  record.vector_bytes = vector_bytes_;
  record.row_size = row_size_;
  record.note = core_note_;
  record.format = tamper_ ? kTamperEvidentFormat : 0;
  return serialize_core_record(record);
}

void IndexCore::write_core_record() {
  store_config_item(index_name_ + kCoreItemSuffix, core_record());
}

void IndexCore::store_config_item(const std::string& name, const Bytes& plaintext) {
  config_store_->PushConfigItem(
      name, tamper_ ? te_seal_config(name, plaintext) : seal_row(plaintext, index_key_));
}

Bytes IndexCore::load_config_item(const std::string& name) {
  Bytes sealed = config_store_->LoadConfigItem(name);
  return tamper_ ? te_open_config(name, sealed) : open_row(std::move(sealed), index_key_);
}

uint64_t IndexCore::CountRecords() {
  if (!tamper_) return record_store_->CountItems();
  return te_count();
}

void IndexCore::store_index_record(const Bytes& plaintext) {
  if (!tamper_) return store_config_item(index_name_ + store::kIndexRecordSuffix, plaintext);
  Write write(*this);
  te_stage_index_record(plaintext);
  write.Commit();
}

void IndexCore::clear() {
  if (tamper_) return te_clear();
  index_store_->DeleteIndex();
  record_store_->DeleteIndex();
  if (index_store_->CountItems() != 0) {
    throw std::runtime_error("Some items in the index backing store weren't deleted");
  }
  cache_.Clear();
  row_size_ = 8;
  write_core_record();
  lists_->ResetCounts();
  config_store_->DeleteIndex();
  if (config_store_->CountItems() != 0) {
    throw std::runtime_error("Some items in the conifg backing store weren't deleted");
  }
  items_store_->DeleteIndex();
  if (items_store_->CountItems() != 0) {
    throw std::runtime_error("Some items in the items backing store weren't deleted");
  }
}

void IndexCore::make_lists(const Key256& key, bool own_counts) {
  lists_ = std::make_unique<ListStore>(*index_store_, key, name_key_, n_lists_,
                                       static_cast<uint32_t>(rounds_), own_counts);
  if (!cache_.enabled()) lists_->KeepLeaves(kKeptLeaves);
}

uint64_t IndexCore::EntryCount() {
  load_list_counts();
  uint64_t n = 0;
  for (uint64_t c = 0; c < n_lists_; ++c) {
    n += lists_->counts()[c] - (tamper_ ? te_current().lists[c].base : 0);
  }
  return n;
}

uint64_t IndexCore::SetFence(const store::WriteFence* fence, bool raise) {
  uint64_t higher = 0;
  for (store::Keystore* s : stores()) {
    s->SetFence(fence);
    if (fence && raise) higher = std::max(higher, s->RaiseFence());
  }
  return higher;
}

uint64_t IndexCore::Generation() {
  if (tamper_) {
    if (!txn_) te_load_state();
    return te_current().record_epoch;
  }
  Bytes sealed = index_store_->GetItem(kGenerationKey);
  if (sealed.empty()) return 0;
  const Bytes plain = open_row(std::move(sealed), index_key_);
  if (plain.size() != 8) throw std::runtime_error("The stored generation row is malformed");
  return DecodeFixed64(plain.data());
}

void IndexCore::AdvanceGeneration() {
  if (tamper_) return;  // every commit advances the epoch
  Bytes plain(8);
  EncodeFixed64(plain.data(), Generation() + 1);
  index_store_->PutItem(kGenerationKey, seal_row(plain, index_key_));
}

}  // namespace tavrin
