// One coarse list read back and opened: its live items, one row each, with
// the number of list entries that were read to build it. Entries of deleted
// items, repeated entries of one item and entries left behind by an item that
// moved to another list are not rows. Vectors are contiguous, row-major, so a
// list can be scanned where it lies, whether it was just read or comes from
// the result cache.
#ifndef TAVRIN_ENCRYPTED_INDEX_DECODED_LIST_H_
#define TAVRIN_ENCRYPTED_INDEX_DECODED_LIST_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrin {

struct DecodedList {
  uint32_t list = 0;
  uint64_t entries_read = 0;  // list entries behind these rows
  // Tamper-evident format: the base and secret sum it was verified under.
  std::array<uint64_t, 3> summary{};
  std::vector<std::string> ids;
  std::vector<float> vectors;  // ids.size() rows of the index dimension
  // One string per row, or none at all when every row's is empty: most
  // items carry no metadata, and a cache of empty strings costs 32 bytes a
  // row. `metadata_kept()` tells the two apart.
  std::vector<std::string> metadata;
  // The metadata parsed, one document per row: made by the first filtered
  // query that reads the list and kept with it, so that a cached list is
  // parsed once, not once per query. Set only from the thread that runs the
  // query, before the list is shared with its workers.
  mutable std::shared_ptr<const std::vector<nlohmann::json>> documents;
  // The rows' squared norms (squared_norms of the vectors), made by the first
  // query that searches the list while a cache keeps it, so that queries on
  // cached lists do not measure every row again. Set as `documents` is.
  mutable std::shared_ptr<const std::vector<float>> sq_norms;

  uint64_t rows() const { return ids.size(); }
  bool metadata_kept() const { return metadata.size() == ids.size(); }
  // Drops the strings when every row's is empty.
  void ElideEmptyMetadata() {
    for (const std::string& m : metadata) {
      if (!m.empty()) return;
    }
    std::vector<std::string>().swap(metadata);
  }
  // Gives every row its string again, for callers that take them away.
  void KeepMetadata() { metadata.resize(ids.size()); }
};

using DecodedListPtr = std::shared_ptr<const DecodedList>;

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_DECODED_LIST_H_
