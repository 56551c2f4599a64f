#include "filter/centroid_metadata.h"

#include <flatbuffers/flatbuffers.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "filter/centroid_metadata_generated.h"
#include "common/diagnostics.h"

namespace tavrin {
namespace {

using json = nlohmann::json;

const char kCollectPrefix[] = "Error while retrieving keys and metadata centroid map: ";
const char kDecodePrefix[] = "Error while converting buffer to map of centroid map: ";
// Smallest buffer that can hold a root offset and a table with its vtable.
constexpr size_t kMinBufferSize = 12;
constexpr size_t kMaxBufferSize = 0x7FFFFFFF;

// A summary without numbers (either form) takes [lo, hi] as it is.
void Widen(CentroidFieldSummary& s, double lo, double hi) {
  if (HasNumericRange(s)) {
    lo = std::min(s.min, lo);
    hi = std::max(s.max, hi);
  }
  // Real values spanning exactly the no-number pair would read as none: widen
  // by one step.
  if (lo == kNoNumberMin && hi == kNoNumberMax) {
    lo = std::nextafter(lo, -std::numeric_limits<double>::infinity());
  }
  s.min = lo;
  s.max = hi;
}

// A number, text or boolean value's own contribution; false for anything else.
bool AddScalar(const json& v, CentroidFieldSummary& s) {
  if (v.is_number()) {
    const double x = v.get<double>();
    Widen(s, x, x);
    return true;
  }
  if (v.is_string()) {
    s.hashes.push_back(MetadataHash(v.get_ref<const std::string&>()));
    return true;
  }
  if (v.is_boolean()) {
    s.hashes.push_back(MetadataHash(v.get<bool>() ? "true" : "false"));
    return true;
  }
  return false;
}

void AddValue(const json& v, CentroidFieldSummary& s) {
  if (AddScalar(v, s) || !v.is_array()) return;
  s.hashes.push_back(MetadataHash(v.dump()));
  // Items match a scalar operand against each element of an array field.
  for (const json& element : v) AddScalar(element, s);
}

// Walks value, whose path is `path` (empty and top-level at the document).
// `path` is a shared buffer: restored on return.
void Collect(const json& value, uint32_t centroid, bool top, std::string& path, size_t depth,
             CentroidMetadataMap& pending) {
  if (depth > kMaxMetadataDepth) {
    throw std::invalid_argument("Metadata is nested more than " +
                                std::to_string(kMaxMetadataDepth) + " levels deep.");
  }
  if (value.is_array()) {
    for (const json& element : value) Collect(element, centroid, top, path, depth + 1, pending);
    return;
  }
  if (!value.is_object()) return;
  const size_t base = path.size();
  for (const auto& [key, child] : value.get_ref<const json::object_t&>()) {
    // Joined even after an empty name: {"": {"x": 1}} holds ".x".
    if (!top) path += '.';
    path += key;
    auto field = pending.find(path);
    if (field == pending.end()) field = pending.emplace(path, CentroidSummaries()).first;
    CentroidFieldSummary& summary = field->second[centroid];
    summary.centroid = centroid;
    AddValue(child, summary);
    Collect(child, centroid, false, path, depth + 1, pending);
    path.resize(base);
  }
}

void SortHashes(std::vector<uint32_t>& hashes) {
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
}

// Folds `from` into `into` (same centroid).
void Fold(CentroidFieldSummary& into, const CentroidFieldSummary& from) {
  if (HasNumericRange(from)) Widen(into, from.min, from.max);
  into.hashes.insert(into.hashes.end(), from.hashes.begin(), from.hashes.end());
}

// Verify, then read. Throws std::runtime_error naming the field.
CentroidSummaries DecodeOne(const std::string& field, const Bytes& buffer) {
  const auto invalid = [&] {
    return std::runtime_error("metadata buffer for field '" + field + "' is invalid");
  };
  if (buffer.size() < kMinBufferSize || buffer.size() > kMaxBufferSize) throw invalid();
  flatbuffers::Verifier::Options options;
  options.max_depth = 8;
  options.max_tables = std::numeric_limits<flatbuffers::uoffset_t>::max();
  options.check_alignment = true;
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), options);
  if (!fb::VerifyCentroidMetadataTableBuffer(verifier)) throw invalid();

  CentroidSummaries out;
  const auto* entries = fb::GetCentroidMetadataTable(buffer.data())->entries();
  if (entries == nullptr) return out;
  for (const fb::CentroidEntryTable* entry : *entries) {
    CentroidFieldSummary s;
    s.centroid = entry->centroid();
    s.min = entry->min();
    s.max = entry->max();
    // Our writer never stores NaN; should one appear, claim every number.
    if (std::isnan(s.min) || std::isnan(s.max)) {
      s.min = -std::numeric_limits<double>::infinity();
      s.max = std::numeric_limits<double>::infinity();
    }
    if (const auto* hashes = entry->hashes()) s.hashes.assign(hashes->begin(), hashes->end());
    auto [it, inserted] = out.try_emplace(s.centroid, s);
    if (!inserted) Fold(it->second, s);
  }
  // Our writer stores sets sorted; check rather than sort on every query.
  for (auto& [centroid, s] : out) {
    const bool strictly_increasing =
        std::adjacent_find(s.hashes.begin(), s.hashes.end(), std::greater_equal<uint32_t>()) ==
        s.hashes.end();
    if (!strictly_increasing) SortHashes(s.hashes);
  }
  return out;
}

}  // namespace

bool HasNumericRange(const CentroidFieldSummary& s) {
  if (s.min > s.max) return false;
  return !(s.min == kNoNumberMin && s.max == kNoNumberMax);
}

uint32_t MetadataHash(std::string_view text) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths.
  while (!text.empty()) {
    const size_t n = std::min<size_t>(text.size(), 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(n));
    text.remove_prefix(n);
  }
  return static_cast<uint32_t>(crc);
}

void CollectFieldSummaries(const json& document, uint32_t centroid, CentroidMetadataMap& pending) {
  try {
    std::string path;
    Collect(document, centroid, true, path, 0, pending);
  } catch (const std::exception& e) {
    throw std::runtime_error(kCollectPrefix + std::string(e.what()));
  }
}

std::vector<Bytes> MergeCentroidMetadata(const std::vector<std::string>& fields,
                                         const std::vector<Bytes>& stored,
                                         const CentroidMetadataMap& pending) {
  if (fields.size() != stored.size()) {
    throw std::invalid_argument("Mismatch between the number of metadata fields and buffers.");
  }
  std::vector<Bytes> out;
  out.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    CentroidSummaries summaries;
    if (!stored[i].empty()) {
      try {
        summaries = DecodeOne(fields[i], stored[i]);
      } catch (const std::exception& e) {
        throw std::runtime_error(kDecodePrefix + std::string(e.what()));
      }
    }
    const auto field = pending.find(fields[i]);
    if (field != pending.end()) {
      for (const auto& [centroid, contribution] : field->second) {
        CentroidFieldSummary& s = summaries[centroid];
        s.centroid = centroid;
        Fold(s, contribution);
      }
    }
    for (auto& [centroid, s] : summaries) SortHashes(s.hashes);
    out.push_back(EncodeCentroidSummaries(summaries));
  }
  return out;
}

CentroidMetadataMap DecodeCentroidMetadata(const std::vector<std::string>& fields,
                                           const std::vector<Bytes>& buffers) {
  CentroidMetadataMap map;
  try {
    if (fields.size() != buffers.size()) {
      throw std::invalid_argument("Mismatch between the number of metadata fields and buffers.");
    }
    for (size_t i = 0; i < fields.size(); ++i) {
      if (buffers[i].empty()) {
        Warn("Warning: Empty metadata buffer for field '" + fields[i] + "'.");
        continue;
      }
      CentroidSummaries decoded = DecodeOne(fields[i], buffers[i]);
      CentroidSummaries& into = map[fields[i]];
      if (into.empty()) {
        into = std::move(decoded);
        continue;
      }
      // The same field listed twice: keep the union.
      for (auto& [centroid, s] : decoded) {
        auto [it, inserted] = into.try_emplace(centroid, s);
        if (!inserted) {
          Fold(it->second, s);
          SortHashes(it->second.hashes);
        }
      }
    }
  } catch (const std::exception& e) {
    throw std::runtime_error(kDecodePrefix + std::string(e.what()));
  }
  return map;
}

Bytes EncodeCentroidSummaries(const CentroidSummaries& summaries) {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<fb::CentroidEntryTable>> entries;
  entries.reserve(summaries.size());
  for (const auto& [centroid, s] : summaries) {
    double lo = s.min;
    double hi = s.max;
    if (!HasNumericRange(s)) {
      lo = kEmptyRangeMin;
      hi = kEmptyRangeMax;
    }
    auto hashes = fbb.CreateVector(s.hashes);
    fb::CentroidEntryTableBuilder entry(fbb);
    entry.add_hashes(hashes);
    entry.add_max(hi);
    entry.add_min(lo);
    entry.add_centroid(centroid);
    entries.push_back(entry.Finish());
  }
  auto vec = fbb.CreateVector(entries);
  fbb.Finish(fb::CreateCentroidMetadataTable(fbb, vec));
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

}  // namespace tavrin
