#include "client/client.h"

#include <algorithm>
#include <stdexcept>

#include "backing_store/index_listing.h"
#include "common/diagnostics.h"
#include "config/index_record.h"

namespace tavrin {

namespace internal_store = tavrin_encrypted_index::internal::backing_store;

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    size_t extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (c < 0x80) {
      ++p;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= extra; ++k) {
      if (p[k] < 0x80 || p[k] > 0xBF) return false;
    }
    p += extra + 1;
  }
  return true;
}

// What an index must be to be opened, whether created or rebuilt from bytes.
void check_index_fields(const std::string& index_name, const Key256& index_key,
                        const IndexConfig& index_config) {
  if (index_name.size() > 255) {
    throw std::invalid_argument("Index name cannot be longer than 255 characters.");
  }
  if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
  // Python reads the name back as text.
  if (!is_utf8(index_name)) throw std::invalid_argument("Index name must be valid UTF-8.");
  if (std::all_of(index_key.begin(), index_key.end(), [](uint8_t b) { return b == 0; })) {
    throw std::invalid_argument("Index key cannot be an empty array.");
  }
  if (index_config.n_lists() == 0) throw std::invalid_argument("n_lists cannot be 0.");
  if (index_config.dimension == 0) throw std::invalid_argument("Vector dimension cannot be 0.");
  const uint32_t metric = static_cast<uint32_t>(index_config.metric);
  if (metric > static_cast<uint32_t>(DistanceMetric::SquaredEuclidean)) {
    throw std::invalid_argument("Index metric must be Cosine, Euclidean or SquaredEuclidean.");
  }
  if (index_config.n_lists() > kMaxLists) {
    throw std::invalid_argument("n_lists cannot be larger than " + std::to_string(kMaxLists) +
                                ".");
  }
  // Sizes the stored records keep in 32 bits must fit them.
  if (index_config.dimension > 0x1FFFFFFFu) {
    throw std::invalid_argument("n_lists or dimension is too large.");
  }
}

}  // namespace

Client::Client(const DBConfig& index_location, const DBConfig& config_location,
               const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate)
    : index_location_(index_location),
      config_location_(config_location),
      items_location_(items_location),
      fourth_location_(index_location),
      cpu_threads_(cpu_threads),
      gpu_accelerate_(gpu_accelerate) {
  // The OpenMP runtime takes the count as given and sizes its team by it.
  if (cpu_threads < 0 || cpu_threads > kMaxCpuThreads) {
    throw std::invalid_argument("cpu_threads must be between 0 and " +
                                std::to_string(kMaxCpuThreads) + ".");
  }
}

IndexParams Client::params_for(const std::string& index_name, const Key256& index_key,
                               std::optional<uint64_t> max_cache_size) const {
  IndexParams params;
  params.index_name = index_name;
  params.index_key = index_key;
  params.index_location = index_location_;
  params.config_location = config_location_;
  params.items_location = items_location_;
  params.fourth_location = fourth_location_;
  params.cpu_threads = cpu_threads_;
  params.gpu_accelerate = gpu_accelerate_;
  params.max_cache_size = max_cache_size;
  return params;
}

std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string& index_name,
                                                    const Key256& index_key,
                                                    const IndexConfig& index_config,
                                                    std::optional<uint64_t> max_cache_size,
                                                    bool tamper_evident) const {
  check_index_fields(index_name, index_key, index_config);
  IndexParams params = params_for(index_name, index_key, max_cache_size);
  params.tamper_evident = tamper_evident;
  params.n_lists = static_cast<uint32_t>(index_config.n_lists());
  params.vector_bytes = 4 * index_config.dimension;
  try {
    return std::make_unique<EncryptedIndex>(index_name, index_key, index_config, params);
  } catch (const std::exception& e) {
    Warn(std::string("Error in CreateIndex: ") + e.what());
    throw;
  }
}

std::unique_ptr<EncryptedIndex> Client::LoadIndex(const std::string& index_name,
                                                  const Key256& index_key,
                                                  std::optional<uint64_t> max_cache_size,
                                                  std::optional<uint64_t> min_epoch) const {
  for (const DBConfig* location :
       {&index_location_, &config_location_, &items_location_, &fourth_location_}) {
    if (location->location == Location::MEMORY) {
      throw std::runtime_error("Memory location is not supported for loading an existing index.");
    }
  }
  if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
  IndexParams params = params_for(index_name, index_key, max_cache_size);
  params.min_epoch = min_epoch;
  return std::make_unique<EncryptedIndex>(index_name, index_key, params);
}

std::unique_ptr<EncryptedIndex> Client::LoadSerializedIndex(const Bytes& buffer,
                                                            const Key256& index_key) const {
  IndexRecord record = deserialize_index_record(buffer);
  for (const DBConfig* location :
       {&index_location_, &config_location_, &items_location_, &fourth_location_}) {
    if (location->location != Location::MEMORY) {
      throw std::runtime_error("All locations must be of type Memory for TrainAndSerialize.");
    }
  }
  // Bytes from elsewhere are held to what creating the index would demand.
  check_index_fields(record.name, index_key, *record.config);
  IndexParams params = params_for(record.name, index_key, uint64_t{0});
  params.n_lists = static_cast<uint32_t>(record.config->n_lists());
  params.vector_bytes = 4 * record.config->dimension;
  try {
    return std::make_unique<EncryptedIndex>(record.name, index_key, *record.config, params,
                                            std::move(record.trained_data), record.trained);
  } catch (const std::exception& e) {
    Warn(std::string("Error in CreateIndex: ") + e.what());
    throw;
  }
}

std::vector<std::string> Client::ListIndexes() const {
  // The configuration location is where the names live, so it decides.
  const Location kind = config_location_.location;
  if (kind != Location::POSTGRES && kind != Location::REDIS && kind != Location::SQLITE) {
    return internal_store::ListIndexNames(config_location_);  // refuses
  }
  try {
    return internal_store::ListIndexNames(config_location_);
  } catch (const std::exception& e) {
    const char* store = kind == Location::POSTGRES ? "Postgres"
                        : kind == Location::REDIS  ? "Redis"
                                                   : "SQLite";
    Warn(std::string("Error in ListIndexes for ") + store + ": " + e.what());
    throw std::invalid_argument(std::string("Could not list indexes: ") + e.what());
  }
}

}  // namespace tavrin
