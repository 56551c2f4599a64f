// The index's side of the centroid metadata map.
#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"

namespace tavrin {

// TODO(lead): replaced by the filter library's map when it lands.
void EncryptedIndex::update_centroid_metadata(const std::vector<std::string>&,
                                              const std::vector<uint32_t>&) {}

EncryptedIndex::CentroidSelection EncryptedIndex::prefilter_centroids(const std::string&) {
  CentroidSelection selection;
  const uint64_t n = trained_data_.codebooks.empty() ? 0 : trained_data_.codebooks[0].matrix.rows;
  for (uint64_t c = 0; c < n; ++c) selection.mapping.push_back(static_cast<uint32_t>(c));
  selection.centroids = trained_data_;
  return selection;
}

}  // namespace tavrin
