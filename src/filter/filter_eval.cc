#include "filter/filter_eval.h"

#include <atomic>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "common/parallel.h"
#include "filter/centroid_metadata.h"
#include "filter/filter_parse.h"
#include "filter/filter_regex.h"
#include "filter/json_equal.h"

namespace tavrin {
namespace {

using json = nlohmann::json;

// $regex patterns compiled ahead of a batch. A pattern that failed to compile
// keeps its message, thrown when an evaluation reaches it.
class RegexTable {
 public:
  struct Entry {
    std::unique_ptr<FilterRegex> regex;
    std::string error;
  };

  explicit RegexTable(const json& filter) { Collect(filter); }

  // The entry for a $regex operand node of the filter, or null.
  const Entry* Find(const json* operand) const {
    auto it = by_node_.find(operand);
    return it == by_node_.end() ? nullptr : it->second;
  }

 private:
  // Walks the filter the way evaluation does; shapes that evaluation rejects
  // before reaching an operator are skipped.
  void Collect(const json& filter) {
    if (!filter.is_object()) return;
    for (const auto& entry : filter.items()) {
      const std::string& key = entry.key();
      const json& value = entry.value();
      if (key == "$and" || key == "$or" || key == "$nor") {
        for (const json& element : value) Collect(element);
      } else if (key == "$not") {
        Collect(value);
      } else if (value.is_object()) {
        for (const auto& op : value.items()) {
          if (op.key() == "$regex" && op.value().is_string()) Add(op.value());
        }
      }
    }
  }

  void Add(const json& operand) {
    const std::string& pattern = operand.get_ref<const std::string&>();
    auto [it, inserted] = by_pattern_.try_emplace(pattern);
    if (inserted) {
      try {
        it->second.regex = std::make_unique<FilterRegex>(pattern);
      } catch (const std::invalid_argument& e) {
        it->second.error = e.what();
      }
    }
    by_node_[&operand] = &it->second;
  }

  std::unordered_map<std::string, Entry> by_pattern_;
  std::unordered_map<const json*, const Entry*> by_node_;
};

// The field at a dotted path, or null when any step is missing or not an
// object. Looks names up by view, without allocating.
const json* LookupField(const json& document, const std::string& path) {
  const json* current = &document;
  size_t start = 0;
  for (;;) {
    if (!current->is_object()) return nullptr;
    const size_t dot = path.find('.', start);
    const size_t end = dot == std::string::npos ? path.size() : dot;
    const auto& object = current->get_ref<const json::object_t&>();
    const auto it = object.find(std::string_view(path.data() + start, end - start));
    if (it == object.end()) return nullptr;
    current = &it->second;
    if (dot == std::string::npos) return current;
    start = dot + 1;
  }
}

enum class Order { kGt, kGte, kLt, kLte };

bool Compare(const json& f, const json& a, Order order) {
  if (!f.is_number() || !a.is_number()) return false;
  const double x = f.get<double>();
  const double y = a.get<double>();
  switch (order) {
    case Order::kGt:
      return x > y;
    case Order::kGte:
      return x >= y;
    case Order::kLt:
      return x < y;
    case Order::kLte:
      return x <= y;
  }
  return false;
}

// Some element of f (or f itself when it is not an array) equals some element
// of a, with a iterated as a logical operand is.
bool AnyIn(const json& f, const json& a) {
  if (f.is_array()) {
    for (const json& element : f) {
      for (const json& candidate : a) {
        if (JsonEqual(element, candidate)) return true;
      }
    }
    return false;
  }
  for (const json& candidate : a) {
    if (JsonEqual(f, candidate)) return true;
  }
  return false;
}

class Evaluator {
 public:
  // Every $regex search draws on budget, so one evaluation is bounded as a
  // whole rather than per value.
  Evaluator(const RegexTable* regexes, RegexBudget* budget) : regexes_(regexes), budget_(budget) {}

  bool Filter(const json& filter, const json& document) const {
    for (auto it = filter.begin(); it != filter.end(); ++it) {
      const std::string& key = it.key();  // throws for a non-object filter
      const json& value = it.value();
      bool holds;
      if (key == "$and") {
        holds = !AnyElement(value, document, false);
      } else if (key == "$or") {
        holds = AnyElement(value, document, true);
      } else if (key == "$nor") {
        holds = !AnyElement(value, document, true);
      } else if (key == "$not") {
        holds = !Filter(value, document);
      } else {
        holds = Field(key, value, document);
      }
      if (!holds) return false;
    }
    return true;
  }

  // Whether some element of a logical operand evaluates to `want`. The operand
  // iterates as the JSON library does: array elements, object values, a
  // scalar itself, nothing for null.
  bool AnyElement(const json& operand, const json& document, bool want) const {
    for (const json& element : operand) {
      if (Filter(element, document) == want) return true;
    }
    return false;
  }

  bool Operator(const std::string& op, const json& f, const json& a) const {
    if (op == "$eq") {
      if (!f.is_array()) return JsonEqual(f, a);
      for (const json& element : f) {
        if (JsonEqual(element, a)) return true;
      }
      return false;
    }
    if (op == "$ne") {
      if (!f.is_array()) return JsonNotEqual(f, a);
      for (const json& element : f) {
        if (JsonEqual(element, a)) return false;
      }
      return true;
    }
    if (op == "$gt") return Ordered(f, a, Order::kGt);
    if (op == "$gte") return Ordered(f, a, Order::kGte);
    if (op == "$lt") return Ordered(f, a, Order::kLt);
    if (op == "$lte") return Ordered(f, a, Order::kLte);
    if (op == "$in") return AnyIn(f, a);
    if (op == "$nin") return !AnyIn(f, a);
    if (op == "$exists") return a.get<bool>();
    if (op == "$regex") return Regex(f, a);
    if (op == "$type") return Type(f, a);
    throw std::invalid_argument("Unsupported operator: " + op);
  }

 private:
  bool Field(const std::string& path, const json& condition, const json& document) const {
    const json* field = LookupField(document, path);
    if (field == nullptr || field->is_null()) {
      if (condition.size() != 1) return false;
      const auto only = condition.begin();
      return only.key() == "$exists" && only.value().is_boolean() && !only.value().get<bool>();
    }
    for (auto it = condition.begin(); it != condition.end(); ++it) {
      if (!Operator(it.key(), *field, it.value())) return false;
    }
    return true;
  }

  static bool Ordered(const json& f, const json& a, Order order) {
    if (!f.is_array()) return Compare(f, a, order);
    for (const json& element : f) {
      if (Compare(element, a, order)) return true;
    }
    return false;
  }

  bool Regex(const json& f, const json& a) const {
    if (!f.is_string()) return false;
    const std::string& subject = f.get_ref<const std::string&>();
    const RegexTable::Entry* entry = regexes_ ? regexes_->Find(&a) : nullptr;
    if (entry == nullptr) return FilterRegex(a.get<std::string>()).Search(subject, budget_);
    if (!entry->regex) throw std::invalid_argument(entry->error);
    return entry->regex->Search(subject, budget_);
  }

  static bool Type(const json& f, const json& a) {
    // Compared without building JSON values: this runs once per document.
    const std::string* name = a.is_string() ? &a.get_ref<const std::string&>() : nullptr;
    if (name != nullptr) {
      if (*name == "string") return f.is_string();
      if (*name == "number") return f.is_number();
      if (*name == "boolean") return f.is_boolean();
      if (*name == "array") return f.is_array();
      if (*name == "object") return f.is_object();
    }
    throw std::invalid_argument("Unsupported type in $type operator: " + a.get<std::string>());
  }

  const RegexTable* regexes_;
  RegexBudget* budget_;
};

// Reads a metadata text the way ParseMetadataBatch does, without building it,
// and also refuses what the centroid summaries refuse: a value inside more
// than kMaxMetadataDepth containers.
class StorableMetadataCheck : public json::json_sax_t {
 public:
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool Value() const { return open_ <= kMaxMetadataDepth; }
  bool Open() {
    if (!Value()) return false;
    ++open_;
    return true;
  }
  bool Close() {
    --open_;
    return true;
  }

  size_t open_ = 0;
};

}  // namespace

bool EvaluateFilter(const json& filter, const json& document) {
  RegexBudget budget;
  return Evaluator(nullptr, &budget).Filter(filter, document);
}

bool EvaluateOperator(const std::string& op, const json& field, const json& operand) {
  RegexBudget budget;
  return Evaluator(nullptr, &budget).Operator(op, field, operand);
}

std::vector<uint32_t> FilterItemGroups(const std::vector<const std::vector<json>*>& groups,
                                       const json& filter, bool validate) {
  if (validate) ValidateFilter(filter);
  size_t total = 0;
  for (const std::vector<json>* group : groups) total += group->size();
  if (total > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("Too many documents to filter: indices must fit in 32 bits.");
  }
  std::vector<const json*> documents;
  documents.reserve(total);
  for (const std::vector<json>* group : groups) {
    for (const json& document : *group) documents.push_back(&document);
  }
  const RegexTable regexes(filter);
  RegexBudget budget;
  const Evaluator evaluator(&regexes, &budget);
  std::vector<uint8_t> keep(documents.size(), 0);
  // A document that could not be read satisfies no condition, whatever the
  // filter names: it is never evaluated.
  parallel_for(documents.size(), kFilterParallelThreshold, 64, [&](size_t i) {
    keep[i] = !documents[i]->is_discarded() && evaluator.Filter(filter, *documents[i]) ? 1 : 0;
  });
  std::vector<uint32_t> matches;
  for (size_t i = 0; i < keep.size(); ++i) {
    if (keep[i]) matches.push_back(static_cast<uint32_t>(i));
  }
  return matches;
}

std::vector<uint32_t> FilterItems(const std::vector<json>& documents, const json& filter,
                                  bool validate) {
  return FilterItemGroups({&documents}, filter, validate);
}

std::vector<json> ParseMetadataBatch(const std::vector<std::string>& texts) {
  std::vector<json> documents(texts.size());
  parallel_for(texts.size(), kFilterParallelThreshold, 64, [&](size_t i) {
    if (texts[i].empty()) {
      documents[i] = json::object();
      return;
    }
    // Without exceptions the parser gives a discarded value for any text it
    // refuses, overflowing numbers included.
    documents[i] = json::parse(texts[i], nullptr, /*allow_exceptions=*/false);
  });
  return documents;
}

std::optional<size_t> FirstUnstorableMetadata(const std::vector<std::string>& texts) {
  std::atomic<size_t> first{texts.size()};
  parallel_for(texts.size(), kFilterParallelThreshold, 64, [&](size_t i) {
    if (texts[i].empty()) return;
    StorableMetadataCheck check;
    if (json::sax_parse(texts[i], &check)) return;
    size_t seen = first.load(std::memory_order_relaxed);
    while (i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  });
  const size_t found = first.load();
  if (found == texts.size()) return std::nullopt;
  return found;
}

void CheckStorableMetadata(const std::vector<std::string>& texts) {
  const std::optional<size_t> bad = FirstUnstorableMetadata(texts);
  if (!bad) return;
  throw std::invalid_argument(
      "The metadata of the item at index " + std::to_string(*bad) +
      " cannot be stored: it is not strict JSON (NaN, infinities, numbers beyond the "
      "double range and lone surrogates are refused) or nests values more than " +
      std::to_string(kMaxMetadataDepth) + " levels deep.");
}

}  // namespace tavrin
