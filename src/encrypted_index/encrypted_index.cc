// The handle's lifecycle: create, load, rebuild from bytes, delete.
#include "encrypted_index/encrypted_index.h"

#include <stdexcept>
#include <utility>

#include "backing_store/lease.h"
#include "config/index_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/writing.h"
#include "encrypted_index/integrity.h"

namespace tavrin {
namespace {

constexpr char kRecordSuffix[] = ".cvs";

void check_shape(const std::string& name, const IndexConfig& config) {
  if (name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
  if (config.n_lists() == 0) throw std::invalid_argument("n_lists cannot be 0.");
  if (config.dimension == 0) throw std::invalid_argument("Vector dimension cannot be 0.");
}

}  // namespace

EncryptedIndex::EncryptedIndex(const std::string& name, const Key256& key,
                               const IndexConfig& config, const IndexParams& params,
                               const StoreFactory& stores)
    : cpu_threads_(params.cpu_threads ? static_cast<uint32_t>(*params.cpu_threads) : 0),
      gpu_accelerate_(params.gpu_accelerate.value_or(false)),
      index_name_(name),
      index_key_(key),
      params_(params),
      stores_(stores) {
  check_shape(name, config);
  index_config_ = config.clone();
  core_ = std::make_unique<IndexCore>(params, IndexCore::Mode::kCreate, stores);
  core_->store_config_item(index_name_ + kRecordSuffix,
                           serialize_index_record(index_name_, *index_config_, trained_data_,
                                                  is_trained_));
  core_->finish_create();
  generation_ = core_->Generation();
}

EncryptedIndex::EncryptedIndex(const std::string& name, const Key256& key,
                               const IndexParams& params, const StoreFactory& stores)
    : cpu_threads_(params.cpu_threads ? static_cast<uint32_t>(*params.cpu_threads) : 0),
      gpu_accelerate_(params.gpu_accelerate.value_or(false)),
      index_name_(name),
      index_key_(key),
      params_(params),
      stores_(stores) {
  core_ = std::make_unique<IndexCore>(params, IndexCore::Mode::kLoad, stores);
  IndexRecord record = deserialize_index_record(core_->load_index_record());
  // Indexes sealed with one key can read each other's records: only the
  // record that names this index describes it.
  if (record.name != name) {
    throw IntegrityError("the index record stored for " + name + " is another index's");
  }
  // The two records must describe the same index, or list reads would take
  // vectors of the wrong width.
  if (record.config->dimension * 4 != core_->vector_bytes() ||
      record.config->n_lists() != core_->n_lists()) {
    throw std::runtime_error("The stored index records of " + name + " do not agree");
  }
  for (const CentroidMatrix& book : record.trained_data.codebooks) {
    if (book.matrix.cols != record.config->dimension || book.matrix.rows != core_->n_lists()) {
      throw std::runtime_error("The stored centroids of " + name + " do not fit the index");
    }
  }
  index_config_ = std::move(record.config);
  trained_data_ = std::move(record.trained_data);
  is_trained_ = record.trained;
  retraining_ = record.retraining;
  generation_ = core_->Generation();
}

EncryptedIndex::EncryptedIndex(const std::string& name, const Key256& key,
                               const IndexConfig& config, const IndexParams& params,
                               TrainedData trained_data, bool is_trained,
                               const StoreFactory& stores)
    : cpu_threads_(params.cpu_threads ? static_cast<uint32_t>(*params.cpu_threads) : 0),
      gpu_accelerate_(params.gpu_accelerate.value_or(false)),
      index_name_(name),
      index_key_(key),
      trained_data_(std::move(trained_data)),
      is_trained_(is_trained),
      params_(params),
      stores_(stores) {
  check_shape(name, config);
  // Centroids that do not fit would be read out of bounds by assignment.
  for (const CentroidMatrix& book : trained_data_.codebooks) {
    if (book.matrix.cols != config.dimension || book.matrix.rows != config.n_lists()) {
      throw std::runtime_error("The serialized centroids do not fit the index configuration");
    }
  }
  if (is_trained_ && trained_data_.codebooks.empty()) {
    throw std::runtime_error("The serialized index is marked trained but holds no centroids");
  }
  index_config_ = config.clone();
  core_ = std::make_unique<IndexCore>(params, IndexCore::Mode::kCreate, stores);
  core_->store_config_item(index_name_ + kRecordSuffix,
                           serialize_index_record(index_name_, *index_config_, trained_data_,
                                                  is_trained_));
  core_->finish_create();
  generation_ = core_->Generation();
}

EncryptedIndex::~EncryptedIndex() = default;

IndexCore& EncryptedIndex::connected() const {
  if (!core_) throw std::runtime_error(kNotConnectedError);
  return *core_;
}

void EncryptedIndex::delete_index() {
  IndexCore& core = connected();
  Writing writing(*this);
  store::WriteScope write(core.stores());
  core.clear();
  write.Commit();
  core_.reset();
  index_name_.clear();
  index_config_.reset();
  WipeSecret(index_key_.data(), index_key_.size());
  WipeSecret(params_.index_key.data(), params_.index_key.size());
  is_trained_ = false;
  trained_data_ = TrainedData();
}

std::vector<ItemView> EncryptedIndex::Get(const std::vector<std::string>& ids,
                                          const std::vector<uint32_t>& include) {
  IndexCore& core = connected();
  core.BeginOperation();
  uint32_t mask = IndexCore::kFieldId;
  for (uint32_t code : include) {
    if (code == 0) mask |= IndexCore::kFieldVector;
    if (code == 1) mask |= IndexCore::kFieldMetadata;
    if (code == 2) mask |= IndexCore::kFieldContents;
  }
  if (include.empty()) mask = 15;
  return core.GetItems(ids, mask);
}

void EncryptedIndex::Delete(const std::vector<std::string>& ids) {
  Writing writing(*this);
  writing.Started();
  connected().DeleteItems(ids);
}

void EncryptedIndex::store_index_record() {
  connected().store_index_record(serialize_index_record(index_name_, *index_config_,
                                                        trained_data_, is_trained_, retraining_));
}

bool EncryptedIndex::tamper_evident() const { return connected().tamper_evident(); }

std::optional<uint64_t> EncryptedIndex::epoch() {
  IndexCore& core = connected();
  core.BeginOperation();
  if (!core.tamper_evident()) return std::nullopt;
  return core.epoch();
}

}  // namespace tavrin
