// Many processes on one index: the write lease and the generation.
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

#include "backing_store/lease.h"
#include "config/index_record.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/integrity.h"
#include "encrypted_index/writing.h"

namespace tavrin {

EncryptedIndex::Writing::Writing(EncryptedIndex& index) : index_(index) {
  index.connected().BeginOperation();
  nested_ = index.writing_depth_ > 0;
  if (nested_) {
    ++index.writing_depth_;
    return;
  }
  if (!index.lease_) {
    // Stores of the caller's own factory are the caller's to share.
    index.lease_ = index.stores_ ? store::MakeLease(DBConfig(), index.index_name_)
                                 : store::MakeLease(index.params_.config_location, index.index_name_);
  }
  std::random_device random;
  while (token_ == 0) token_ = (uint64_t{random()} << 32) ^ random();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLeaseWaitSeconds);
  auto pause = std::chrono::milliseconds(1);
  while (!index.lease_->TryAcquire(token_)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::invalid_argument("Index " + index.index_name_ +
                                  " is being written by another process: gave up after " +
                                  std::to_string(kLeaseWaitSeconds) + " s");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
  try {
    // Before anything is read: an earlier holder's writes fail from here on.
    // A fence above the number drawn (its counter lost, say with a failed
    // over server) takes a larger number, drawn while the lease is held.
    for (int attempt = 0;; ++attempt) {
      const uint64_t higher = index.connected().SetFence(index.lease_->fence(), /*raise=*/true);
      if (higher == 0) break;
      if (attempt == 2 || !index.lease_->Redraw(token_, higher)) {
        throw std::runtime_error(std::string("Failed to take the index lease: ") +
                                 store::kFenceLostError);
      }
    }
    index.sync();
  } catch (...) {
    if (index.core_) index.core_->SetFence(nullptr, false);
    index.lease_->Release(token_);
    throw;
  }
  ++index.writing_depth_;
}

EncryptedIndex::Writing::~Writing() {
  --index_.writing_depth_;
  if (nested_) {
    return;
  }
  for (bool advance : {true, false}) {
    try {
      if (!index_.core_ || !started_) break;
      if (advance) index_.core_->AdvanceGeneration();
      index_.generation_ = index_.core_->Generation();
      break;
    } catch (...) {
      // Not advanced: other processes reload at the next write instead.
    }
  }
  if (index_.core_) index_.core_->SetFence(nullptr, false);
  index_.lease_->Release(token_);
}

void EncryptedIndex::UseLease(std::unique_ptr<store::Lease> lease) { lease_ = std::move(lease); }

void EncryptedIndex::Writing::Fence() {
  if (!nested_ && !index_.lease_->Holds(token_)) {
    throw std::runtime_error("The index's write lease expired before the write was committed");
  }
}

void EncryptedIndex::sync() {
  IndexCore& core = connected();
  // In-process stores belong to this handle alone.
  if (params_.index_location.location == Location::MEMORY) return;
  const uint64_t generation = core.Generation();
  if (generation == generation_) return;
  IndexRecord record = deserialize_index_record(core.load_index_record());
  if (record.name != index_name_) {
    throw IntegrityError("the index record stored for " + index_name_ + " is another index's");
  }
  trained_data_ = std::move(record.trained_data);
  is_trained_ = record.trained;
  retraining_ = record.retraining;
  if (!core.tamper_evident()) core.cache().Clear();  // lists are checked one by one there
  generation_ = generation;
}

}  // namespace tavrin
