#include "encrypted_index/index_core.h"

#include <omp.h>

#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "backing_store/keystore_factory.h"
#include "client/index_config.h"
#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "encrypted_index/core_record.h"

namespace tavrin {
namespace {

constexpr char kCoreItemSuffix[] = ".cei";

Bytes seal_row(const Bytes& plaintext, const Key256& key) {
  ByteMatrix sealed = encrypt_rows(ByteMatrix(Bytes(plaintext), plaintext.size()), key);
  return std::move(sealed.data);
}

Bytes open_row(Bytes record, const Key256& key) {
  const uint64_t width = record.size();
  ByteMatrix opened = decrypt_rows(ByteMatrix(std::move(record), width), key);
  return std::move(opened.data);
}

}  // namespace

IndexCore::IndexCore(const IndexParams& params, Mode mode, const StoreFactory& stores)
    : rounds_(params.key_size),
      n_lists_(params.n_lists),
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
  index_store_ = factory(params.index_location, index_name_, base, 0);
  record_store_ = factory(params.fourth_location, index_name_, base, 3);
  config_store_ = factory(params.config_location, index_name_, base, 1);
  // With no items location of its own, contents stay with the index's data:
  // kept in process memory they would vanish with the process while the
  // rest of a stored index survives.
  const DBConfig& items = params.items_location.location == Location::NONE
                              ? params.index_location
                              : params.items_location;
  items_store_ = factory(items, index_name_, base, 2);

  if (mode == Mode::kCreate) {
    if (params.index_location.location != Location::MEMORY &&
        config_store_->ConfigItemExists(index_name_ + kCoreItemSuffix)) {
      throw std::runtime_error("Index name " + index_name_ + " already exists");
    }
    list_counts_.assign(n_lists_, 0);
    write_core_record();
    // A new index has a map from the start: "No map data" then only ever
    // means that a stored index lost its count row.
    save_list_counts();
  } else {
    const CoreRecord record = deserialize_core_record(load_config_item(index_name_ + kCoreItemSuffix));
    if (record.n_lists > kMaxLists) {
      throw std::invalid_argument("n_lists cannot be larger than " + std::to_string(kMaxLists) +
                                  ".");
    }
    if (record.n_lists == 0 || record.n_lists > 0xFFFFFFFFu || record.vector_bytes == 0 ||
        record.vector_bytes % 4 != 0 || record.row_size != 8 || record.rounds > 64) {
      throw std::runtime_error("Could not deserialize index config: buffer is invalid");
    }
    rounds_ = record.rounds;
    n_lists_ = record.n_lists;
    vector_bytes_ = record.vector_bytes;
    row_size_ = record.row_size;
    core_note_ = record.note;
    index_store_->SetRowSize(row_size_);
    load_list_counts();
  }
  data_key_ = keys.data_key;
  content_key_ = keys.content_key;
  metadata_key_ = keys.metadata_key;
}

IndexCore::~IndexCore() {
  try {
    save_list_counts();
  } catch (const std::exception& e) {
    std::cerr << "Warning: could not save the list counts: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Warning: could not save the list counts." << std::endl;
  }
}

void IndexCore::write_core_record() {
  CoreRecord record;
  record.rounds = rounds_;
  record.n_lists = n_lists_;
  record.vector_bytes = vector_bytes_;
  record.row_size = row_size_;
  record.note = core_note_;
  store_config_item(index_name_ + kCoreItemSuffix, serialize_core_record(record));
}

void IndexCore::store_config_item(const std::string& name, const Bytes& plaintext) {
  config_store_->PushConfigItem(name, seal_row(plaintext, index_key_));
}

Bytes IndexCore::load_config_item(const std::string& name) {
  return open_row(config_store_->LoadConfigItem(name), index_key_);
}

void IndexCore::load_list_counts() {
  Bytes stored = index_store_->GetItem(kCountsKey);
  if (stored.empty()) {
    std::cerr << "Warning: No map data found in the backing store. Creating a new map."
              << std::endl;
    list_counts_.assign(n_lists_, 0);
    return;
  }
  const Bytes plain = open_row(std::move(stored), index_key_);
  if (plain.size() != 4 * n_lists_) {
    throw std::runtime_error("The stored list-count map does not match the number of lists");
  }
  list_counts_.resize(n_lists_);
  for (uint64_t c = 0; c < n_lists_; ++c) {
    const uint8_t* p = plain.data() + 4 * c;
    list_counts_[c] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                      static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
}

void IndexCore::save_list_counts() {
  Bytes plain(4 * list_counts_.size());
  for (size_t c = 0; c < list_counts_.size(); ++c) {
    for (int i = 0; i < 4; ++i) plain[4 * c + i] = static_cast<uint8_t>(list_counts_[c] >> (8 * i));
  }
  if (plain.empty()) return;
  index_store_->PutItem(kCountsKey, seal_row(plain, index_key_));
}

void IndexCore::ensure_centroid_seeds() {
  if (centroid_seeds_.empty()) centroid_seeds_ = make_centroid_seeds(n_lists_, index_key_, name_key_);
}

void IndexCore::clear(bool all) {
  index_store_->DeleteIndex();
  record_store_->DeleteIndex();
  if (index_store_->CountItems() != 0) {
    throw std::runtime_error("Some items in the index backing store weren't deleted");
  }
  cache_.Clear();
  list_counts_.assign(n_lists_, 0);
  row_size_ = 8;
  write_core_record();
  save_list_counts();
  if (all) {
    config_store_->DeleteIndex();
    if (config_store_->CountItems() != 0) {
      throw std::runtime_error("Some items in the conifg backing store weren't deleted");
    }
    items_store_->DeleteIndex();
    if (items_store_->CountItems() != 0) {
      throw std::runtime_error("Some items in the items backing store weren't deleted");
    }
  }
}

}  // namespace tavrin
