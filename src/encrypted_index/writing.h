// The lease every write of an index holds (EncryptedIndex::Writing).
#ifndef TAVRIN_ENCRYPTED_INDEX_WRITING_H_
#define TAVRIN_ENCRYPTED_INDEX_WRITING_H_

#include <cstdint>

#include "encrypted_index/encrypted_index.h"

namespace tavrin {

class EncryptedIndex::Writing {
 public:
  // Waits for the lease, then syncs the handle; std::invalid_argument
  // "Index <name> is being written by another process: gave up after 30 s".
  explicit Writing(EncryptedIndex& index);
  // Advances the generation (other processes then reload what changed) and
  // releases the lease; never throws.
  ~Writing();
  Writing(const Writing&) = delete;
  Writing& operator=(const Writing&) = delete;

  // Before a commit: throws std::runtime_error when the lease is no longer
  // held (it expired while this process stood still), so that a stale
  // holder does not commit over another writer.
  void Fence();
  // Marks that writes begin: only then does the generation advance.
  void Started() { started_ = true; }

 private:
  EncryptedIndex& index_;
  uint64_t token_ = 0;
  bool nested_ = false;  // inside another write of this handle, which holds the lease
  bool started_ = false;
};

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_WRITING_H_
