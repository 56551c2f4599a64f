#include "encrypted_index/centroid_prefilter.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "crypto/keyed_hash.h"
#include "crypto/sealed_record.h"
#include "filter/centroid_filter.h"
#include "filter/centroid_metadata.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using tavrin_encrypted_index::internal::backing_store::Keystore;

std::vector<uint32_t> AllCentroids(const TrainedData& trained) {
  const uint64_t rows = trained.codebooks.empty() ? 0 : trained.codebooks[0].matrix.rows;
  if (rows > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("Too many centroids: centroid numbers must fit in 32 bits.");
  }
  std::vector<uint32_t> all(rows);
  for (uint32_t c = 0; c < all.size(); ++c) all[c] = c;
  return all;
}

CentroidMatrix Restrict(const CentroidMatrix& m, const std::vector<uint32_t>& mapping) {
  uint64_t kept = 0;
  for (uint32_t c : mapping) kept += c < m.matrix.rows;
  CentroidMatrix out;
  out.tag = m.tag;
  out.matrix = FloatMatrix::zeros(kept, m.matrix.cols);
  uint64_t row = 0;
  for (uint32_t c : mapping) {
    if (c >= m.matrix.rows) continue;
    std::copy(m.matrix.row(c), m.matrix.row(c) + m.matrix.cols, out.matrix.row(row++));
  }
  return out;
}

std::vector<CentroidMatrix> RestrictAll(const std::vector<CentroidMatrix>& matrices,
                                        const std::vector<uint32_t>& mapping) {
  std::vector<CentroidMatrix> out;
  out.reserve(matrices.size());
  for (const CentroidMatrix& m : matrices) out.push_back(Restrict(m, mapping));
  return out;
}

}  // namespace

void UpdateCentroidMetadata(Keystore& index_store, const Key256& metadata_key,
                            const std::vector<std::string>& metadata_texts,
                            const std::vector<uint32_t>& centroids) {
  if (metadata_texts.empty()) return;
  if (metadata_texts.size() != centroids.size()) {
    throw std::invalid_argument("Mismatch between the number of metadata texts and centroids.");
  }
  const std::vector<json> documents = ParseMetadataBatch(metadata_texts);
  CentroidMetadataMap pending;
  for (size_t i = 0; i < documents.size(); ++i) {
    // An unreadable text (stored before upserts checked them) matches no
    // filter, so it narrows nothing.
    if (!metadata_texts[i].empty() && !documents[i].is_discarded())
      CollectFieldSummaries(documents[i], centroids[i], pending);
  }
  if (pending.empty()) return;

  std::vector<std::string> fields;
  fields.reserve(pending.size());
  for (const auto& entry : pending) fields.push_back(entry.first);  // sorted
  const std::vector<uint64_t> keys = item_tokens(fields, metadata_key);
  const std::vector<Bytes> stored = decrypt_items(index_store.BatchGetItems(keys), metadata_key);
  const std::vector<Bytes> merged = MergeCentroidMetadata(fields, stored, pending);
  index_store.BatchPutItems(keys, encrypt_items(merged, metadata_key));
}

PrefilterResult PrefilterCentroids(Keystore& index_store, const Key256& metadata_key,
                                   const std::string& filter_text,
                                   const TrainedData& trained_data) {
  const json filter = ParseFilter(filter_text);
  try {
    std::vector<uint32_t> all = AllCentroids(trained_data);
    if (IsEmptyFilter(filter)) return PrefilterResult{std::move(all), trained_data};
    const std::vector<std::string> fields = CollectFilterFields(filter);
    std::vector<Bytes> buffers;
    if (!fields.empty()) {
      buffers = decrypt_items(index_store.BatchGetItems(item_tokens(fields, metadata_key)),
                              metadata_key);
    }
    const CentroidMetadataMap map = DecodeCentroidMetadata(fields, buffers);
    PrefilterResult result;
    result.mapping = FilterCentroids(map, all, filter, true);
    result.trained_data.codebooks = RestrictAll(trained_data.codebooks, result.mapping);
    result.trained_data.second_codebooks =
        RestrictAll(trained_data.second_codebooks, result.mapping);
    return result;
  } catch (const std::exception& e) {
    throw std::runtime_error("Error while pre-filtering: " + std::string(e.what()));
  }
}

}  // namespace tavrin
