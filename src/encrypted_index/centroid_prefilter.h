// The index's store-facing steps of the centroid metadata map (the map itself,
// its buffers and the centroid filter are the filter subsystem's): folding an
// upsert batch's metadata into the map, and narrowing the centroids of a
// filtered query.
//
// The map lives in the index store: the buffer of field path p (see
// centroid_metadata.h) is sealed with encrypt_items under the metadata key and
// kept under item_tokens({p}, metadata key).
//
// UpdateCentroidMetadata(store, key, texts, centroids): texts[i] is item i's
// metadata JSON text (empty: none) and centroids[i] its list. One
// BatchGetItems and one BatchPutItems for all the fields the batch touches;
// no store call when it touches none (or texts is empty). Throws, before
// writing, std::invalid_argument for a length mismatch or a text that is not
// JSON ("Invalid JSON string provided: ..."), std::runtime_error
// "Error while retrieving keys and metadata centroid map: ..." when a
// document cannot be summarised (nested deeper than kMaxMetadataDepth),
// "Error while converting buffer to map of centroid map: ..." for a stored
// buffer that does not decode, and the store's or cipher's own errors.
//
// PrefilterCentroids(store, key, filter_text, trained): the centroids that may
// hold an item satisfying the filter (mapping, ascending), and the trained
// data restricted to them: row i of every restricted matrix is row
// mapping[i] of the original (rows the original lacks are left out), tags
// unchanged. Every centroid 0 .. rows of codebooks[0] - 1 is a candidate. A
// filter text meaning no filter (empty, {}, [], null) gives every centroid and
// the trained data whole. One BatchGetItems per call (none when the filter
// reads no field). ParseFilter's errors pass unchanged; every later failure
// is rethrown as std::runtime_error "Error while pre-filtering: " + message.
#ifndef TAVRIN_ENCRYPTED_INDEX_CENTROID_PREFILTER_H_
#define TAVRIN_ENCRYPTED_INDEX_CENTROID_PREFILTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "backing_store/keystore.h"
#include "common/key.h"
#include "common/trained_data.h"

namespace tavrin {

void UpdateCentroidMetadata(
    tavrin_encrypted_index::internal::backing_store::Keystore& index_store,
    const Key256& metadata_key, const std::vector<std::string>& metadata_texts,
    const std::vector<uint32_t>& centroids);

struct PrefilterResult {
  std::vector<uint32_t> mapping;
  TrainedData trained_data;
};

PrefilterResult PrefilterCentroids(
    tavrin_encrypted_index::internal::backing_store::Keystore& index_store,
    const Key256& metadata_key, const std::string& filter_text, const TrainedData& trained_data);

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_CENTROID_PREFILTER_H_
