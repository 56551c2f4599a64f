// Random documents and filters (metadata_generator.h, with bad $regex and
// $type operands and other operand shapes mixed in): EvaluateFilter (after
// NormalizeFilter) and FilterItems must agree with the small reference
// evaluator below, which is written from the language rules and shares no
// code with src/filter. FilterItems runs on parsed metadata texts, some of
// them unreadable, on the sequential and on the parallel path, where upserts
// must refuse the first text they could not store.
//
// And $regex search on random patterns against the set-based reference of
// regex_reference.h: assertions (^, $, \b, \B) must see the whole subject,
// also at the start of a lookahead, while the search stays one linear pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "filter/centroid_metadata.h"
#include "filter/filter_eval.h"
#include "filter/filter_parse.h"
#include "filter/filter_regex.h"
#include "metadata_generator.h"
#include "regex_reference.h"
#include "test_util.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using testing::error_text;

// ---- Reference evaluator ------------------------------------------------

struct RefError : std::exception {};

// Exact for every 64-bit integer: long double has a 64-bit mantissa here.
long double RefNumber(const json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  if (v.is_number_integer()) return v.get<int64_t>();
  return v.get<double>();
}

bool RefEqual(const json& x, const json& y) {
  if (x.is_number() || y.is_number())
    return x.is_number() && y.is_number() && RefNumber(x) == RefNumber(y);
  if (x.type() != y.type() || x.size() != y.size()) return false;
  if (x.is_array()) return std::equal(x.begin(), x.end(), y.begin(), RefEqual);
  if (!x.is_object()) return x == y;  // null, boolean, string
  for (const auto& [key, value] : x.items())
    if (!y.contains(key) || !RefEqual(value, y.at(key))) return false;
  return true;
}

// What a logical operand or $in operand ranges over.
std::vector<json> RefElements(const json& v) {
  std::vector<json> out;
  if (v.is_array() || v.is_object()) {
    for (const auto& item : v.items()) out.push_back(item.value());
  } else if (!v.is_null()) {
    out.push_back(v);
  }
  return out;
}

// The field at path, or null.
json RefLookup(json at, const std::string& path) {
  std::string rest = path + ".";
  for (size_t dot; (dot = rest.find('.')) != std::string::npos; rest.erase(0, dot + 1)) {
    const std::string name = rest.substr(0, dot);
    if (!at.is_object() || !at.contains(name)) return nullptr;
    at = json(at.at(name));
  }
  return at;
}

bool RefOperator(const std::string& op, const json& f, const json& a) {
  const std::vector<json> items = f.is_array() ? RefElements(f) : std::vector<json>{f};
  auto any = [&](auto holds) { return std::any_of(items.begin(), items.end(), holds); };
  if (op == "$eq" || op == "$ne")
    return any([&](const json& x) { return RefEqual(x, a); }) == (op == "$eq");
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    return any([&](const json& x) {
      if (!x.is_number() || !a.is_number()) return false;
      const long double p = RefNumber(x), q = RefNumber(a);
      return op == "$gt" ? p > q : op == "$gte" ? p >= q : op == "$lt" ? p < q : p <= q;
    });
  }
  if (op == "$in" || op == "$nin") {
    const std::vector<json> set = RefElements(a);
    return any([&](const json& x) {
             return std::any_of(set.begin(), set.end(),
                                [&](const json& y) { return RefEqual(x, y); });
           }) == (op == "$in");
  }
  if (op == "$exists") {
    if (!a.is_boolean()) throw RefError{};
    return a.get<bool>();
  }
  if (op == "$regex") {
    if (!f.is_string()) return false;
    if (!a.is_string()) throw RefError{};
    try {
      return std::regex_search(f.get<std::string>(), std::regex(a.get<std::string>()));
    } catch (const std::regex_error&) {
      throw RefError{};
    }
  }
  const std::string name = op == "$type" && a.is_string() ? a.get<std::string>() : "";
  if (name != "string" && name != "number" && name != "boolean" && name != "array" &&
      name != "object") {
    throw RefError{};  // an unknown operator or type name
  }
  return name == f.type_name();
}

bool RefIsOperatorObject(const json& v) {
  bool any = false;
  for (const auto& item : v.items()) any |= v.is_object() && item.key().rfind('$', 0) == 0;
  return any;
}

// Entries in key order, stopping at the first that fails. Shorthand field
// entries are read as equality here, directly.
bool RefFilter(const json& filter, const json& document) {
  for (const auto& [key, value] : filter.items()) {  // ordered by key
    bool holds = true;
    if (key == "$and" || key == "$or" || key == "$nor") {
      const std::vector<json> parts = RefElements(value);
      auto part = [&](const json& p) { return RefFilter(p, document); };
      holds = key == "$and"  ? std::all_of(parts.begin(), parts.end(), part)
              : key == "$or" ? std::any_of(parts.begin(), parts.end(), part)
                             : std::none_of(parts.begin(), parts.end(), part);
    } else if (key == "$not") {
      holds = !RefFilter(value, document);
    } else {
      const json condition = RefIsOperatorObject(value) ? value : json{{"$eq", value}};
      const json field = RefLookup(document, key);
      if (field.is_null()) {
        holds = condition == json{{"$exists", false}};
      } else {
        for (const auto& [op, operand] : condition.items())
          if (!(holds = RefOperator(op, field, operand))) break;
      }
    }
    if (!holds) return false;
  }
  return true;
}

enum Outcome { kFalse, kTrue, kError };

template <typename Fn> Outcome OutcomeOf(Fn&& holds) {
  try {
    return holds() ? kTrue : kFalse;
  } catch (const std::exception&) {  // RefError too
    return kError;
  }
}

// Mixes into a generated filter what the generator leaves out: bad $regex and
// $type operands, object operands of $in and $nin, null logical operands.
// Conditions of a non-logical $-key are kept as written by NormalizeFilter,
// so a shorthand one is spelled out.
void Vary(json& filter, std::mt19937& rng) {
  auto pick = [&](unsigned n) { return rng() % n; };
  for (auto& [key, value] : filter.items()) {
    if (key == "$not") {
      Vary(value, rng);
    } else if (key == "$and" || key == "$or" || key == "$nor") {
      for (json& part : value) Vary(part, rng);
      if (value.empty() && pick(2) == 0) value = nullptr;
    } else if (!RefIsOperatorObject(value)) {
      if (key[0] == '$') value = json{{"$eq", value}};
    } else {
      for (auto& [op, operand] : value.items()) {
        if (op == "$regex" && pick(3) == 0) operand = json::array({"(", "[z-a]", 3})[pick(3)];
        if (op == "$type" && pick(3) == 0) operand = pick(2) == 0 ? json("null") : json(3);
        if ((op == "$in" || op == "$nin") && operand.is_array() && pick(4) == 0) {
          json object = json::object();
          for (size_t i = 0; i < operand.size(); ++i) object["k" + std::to_string(i)] = operand[i];
          operand = object;
        }
      }
    }
  }
}

TEST(FilterProperty, EvaluateFilterAndFilterItemsAgreeWithReference) {
  testing::RandomMetadata gen(20240611);
  std::mt19937 rng(5);
  // Storable texts that are not objects or nest as deep as the centroid
  // summaries take, then texts upserts refuse: nested deeper, or unreadable
  // (several of them what Python's json.dumps writes).
  auto nested = [](size_t levels) {
    return std::string(levels, '[') + "1" + std::string(levels, ']');
  };
  const std::vector<std::string> odd = {
      "", "[1, 2]", "null", nested(kMaxMetadataDepth), nested(kMaxMetadataDepth + 1),
      R"({"a": NaN})", R"({"a": Infinity})", R"({"a": -Infinity})", R"({"a": "\ud800"})",
      R"({"a": "\udc00x"})", R"({"a": 1e400})", "{\"a\": " + std::string(400, '7') + "}",
      "{} // x", "[1,", "{\"a\": tru}"};
  int counts[3] = {0, 0, 0};
  for (int round = 0; round < 600; ++round) {
    json raw = gen.Filter(3);
    Vary(raw, rng);
    json filter = raw;
    NormalizeFilter(filter);
    const size_t n = round % 4 == 0 ? kFilterParallelThreshold + 88 : 40;
    std::vector<std::string> texts;
    for (size_t i = 0; i < n; ++i)
      texts.push_back(rng() % 16 == 0 ? odd[rng() % odd.size()] : gen.Document().dump());
    // Upserts refuse the first text that cannot be stored.
    const auto unstorable = std::find_if(texts.begin(), texts.end(), [&](const std::string& t) {
      return std::find(odd.begin() + 4, odd.end(), t) != odd.end();
    });
    EXPECT_EQ(FirstUnstorableMetadata(texts).value_or(n), size_t(unstorable - texts.begin()));
    const std::vector<json> documents = ParseMetadataBatch(texts);
    std::vector<uint32_t> expected;
    std::optional<size_t> first_error;
    for (size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(!texts[i].empty() || documents[i] == json::object()) << i;
      if (documents[i].is_discarded()) continue;  // unreadable: matches no filter
      const Outcome o = OutcomeOf([&] { return RefFilter(raw, documents[i]); });
      ++counts[o];
      if (o == kTrue) expected.push_back(static_cast<uint32_t>(i));
      if (o == kError && !first_error) first_error = i;
      if (i < 40) {
        ASSERT_EQ(OutcomeOf([&] { return EvaluateFilter(filter, documents[i]); }), o)
            << raw << "\non " << texts[i];
      }
    }
    // FilterItems throws what the first failing document throws.
    std::vector<uint32_t> got;
    ASSERT_EQ(error_text([&] { got = FilterItems(documents, filter, false); }),
              error_text([&] { if (first_error) EvaluateFilter(filter, documents[*first_error]); }))
        << raw;
    ASSERT_EQ(got, first_error ? std::vector<uint32_t>{} : expected) << raw;
  }
  // The generator must exercise every outcome in earnest.
  EXPECT_GT(counts[kTrue], 10000);
  EXPECT_GT(counts[kFalse], 40000);
  EXPECT_GT(counts[kError], 400);
}

TEST(FilterProperty, RegexSearchAgreesWithReference) {
  testing::RegexGenerator gen(424242);
  int found = 0;
  for (int round = 0; round < 3000; ++round) {
    const testing::RegexReference reference = gen.Pattern(3);
    const FilterRegex regex(reference.pattern);
    for (int s = 0; s < 8; ++s) {
      const std::string subject = gen.Subject();
      const bool expected = reference.Search(subject);
      found += expected;
      ASSERT_EQ(regex.Search(subject), expected) << reference.pattern << " on '" << subject << "'";
    }
  }
  EXPECT_GT(found, 3000);
  EXPECT_LT(found, 21000);
}

}  // namespace
}  // namespace tavrin
