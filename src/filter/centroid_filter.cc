#include "filter/centroid_filter.h"

#include <algorithm>
#include <stdexcept>

#include "filter/filter_parse.h"

namespace tavrin {
namespace {

using json = nlohmann::json;

bool IsOneOf(const std::string& key, const char* a, const char* b) { return key == a || key == b; }

void CollectFields(const json& filter, std::vector<std::string>& out) {
  if (!filter.is_object()) return;
  for (const auto& [key, value] : filter.get_ref<const json::object_t&>()) {
    if (IsOneOf(key, "$and", "$or")) {
      for (const json& element : value) CollectFields(element, out);
    } else if (!IsOneOf(key, "$not", "$nor")) {
      // Other $-keys are field paths to the item test too.
      out.push_back(key);
    }
  }
}

const CentroidFieldSummary* FindSummary(const CentroidMetadataMap& map, const std::string& path,
                                        uint32_t centroid) {
  const auto field = map.find(path);
  if (field == map.end()) return nullptr;
  const auto it = field->second.find(centroid);
  return it == field->second.end() ? nullptr : &it->second;
}

bool HasHash(const CentroidFieldSummary& s, uint32_t h) {
  return std::binary_search(s.hashes.begin(), s.hashes.end(), h);
}

bool InRange(const CentroidFieldSummary& s, const json& number) {
  if (!HasNumericRange(s)) return false;
  const double v = number.get<double>();
  return s.min <= v && v <= s.max;
}

// Whether some value of the summary may equal a (as $eq and each $in element
// compare). Items compare a scalar operand with an array field's elements,
// and an array, object or null operand with nested values, which summaries
// do not record.
bool MayEqual(const CentroidFieldSummary& s, const json& a) {
  if (a.is_number()) return InRange(s, a);
  if (a.is_string()) return HasHash(s, MetadataHash(a.get_ref<const std::string&>()));
  if (a.is_boolean()) return HasHash(s, MetadataHash(a.get<bool>() ? "true" : "false"));
  return true;
}

bool OperatorMayMatch(const CentroidFieldSummary& s, const std::string& op, const json& a) {
  if (op == "$eq") return MayEqual(s, a);
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    // Items order numbers only.
    if (!a.is_number() || !HasNumericRange(s)) return false;
    const double v = a.get<double>();
    if (op == "$gt") return s.max > v;
    if (op == "$gte") return s.max >= v;
    if (op == "$lt") return s.min < v;
    return s.min <= v;
  }
  if (op == "$in") {
    if (!a.is_array()) throw std::invalid_argument("$in/$nin requires an array");
    for (const json& element : a) {
      if (MayEqual(s, element)) return true;
    }
    return false;
  }
  // $ne and $nin hold for values other than the operand, which summaries
  // cannot rule out; $exists, $regex and $type are not summarised.
  return true;
}

bool IsExistsFalse(const json& condition) {
  if (condition.size() != 1) return false;
  const auto only = condition.begin();
  return only.key() == "$exists" && only.value().is_boolean() && !only.value().get<bool>();
}

bool FieldMayMatch(const CentroidMetadataMap& map, const std::string& path,
                   const json& condition, uint32_t centroid) {
  const CentroidFieldSummary* s = FindSummary(map, path, centroid);
  if (!condition.is_object()) {
    // The item test holds an empty condition on any present field, and never
    // holds (or throws) for any other non-object.
    return s != nullptr && condition.empty();
  }
  // No summary: no item of the centroid has the field.
  if (s == nullptr) return IsExistsFalse(condition);
  for (const auto& [op, operand] : condition.get_ref<const json::object_t&>()) {
    if (!OperatorMayMatch(*s, op, operand)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> CollectFilterFields(const json& filter) {
  std::vector<std::string> fields;
  CollectFields(filter, fields);
  std::sort(fields.begin(), fields.end());
  fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
  return fields;
}

bool CentroidMayMatch(const CentroidMetadataMap& map, const json& filter, uint32_t centroid) {
  if (!filter.is_object()) return true;
  for (const auto& [key, value] : filter.get_ref<const json::object_t&>()) {
    bool pass = true;
    if (key == "$and") {
      for (const json& element : value) {
        if (!CentroidMayMatch(map, element, centroid)) {
          pass = false;
          break;
        }
      }
    } else if (key == "$or") {
      pass = false;
      for (const json& element : value) {
        if (CentroidMayMatch(map, element, centroid)) {
          pass = true;
          break;
        }
      }
    } else if (!IsOneOf(key, "$not", "$nor")) {
      pass = FieldMayMatch(map, key, value, centroid);
    }
    if (!pass) return false;
  }
  return true;
}

std::vector<uint32_t> FilterCentroids(const CentroidMetadataMap& map,
                                      const std::vector<uint32_t>& candidates, const json& filter,
                                      bool validate) {
  if (validate) ValidateFilter(filter);
  std::vector<uint32_t> passing;
  for (uint32_t centroid : candidates) {
    if (CentroidMayMatch(map, filter, centroid)) passing.push_back(centroid);
  }
  return passing;
}

}  // namespace tavrin
