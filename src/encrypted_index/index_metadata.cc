// The index's side of the centroid metadata map, kept in the index store
// under the metadata key.
#include <stdexcept>
#include <string>

#include "encrypted_index/encrypted_index.h"
#include "encrypted_index/index_core.h"
#include "encrypted_index/centroid_prefilter.h"

namespace tavrin {

void EncryptedIndex::update_centroid_metadata(const std::vector<std::string>& metadata,
                                              const std::vector<uint32_t>& lists) {
  size_t bytes = 0;
  for (const std::string& text : metadata) bytes += text.size();
  if (bytes == 0) return;
  IndexCore& core = connected();
  try {
    UpdateCentroidMetadata(core.map_store(), core.metadata_key(), metadata, lists);
  } catch (const std::exception& e) {
    // Before any item is written: an item the map does not cover would be
    // skipped by every filtered query.
    throw std::runtime_error(std::string("Error updating metadata: ") + e.what());
  }
}

EncryptedIndex::CentroidSelection EncryptedIndex::prefilter_centroids(
    const std::string& filter_text) {
  IndexCore& core = connected();
  PrefilterResult result =
      PrefilterCentroids(core.map_store(), core.metadata_key(), filter_text, trained_data_);
  return CentroidSelection{std::move(result.mapping), std::move(result.trained_data)};
}

}  // namespace tavrin
