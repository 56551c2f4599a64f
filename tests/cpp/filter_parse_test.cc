#include "filter/filter_parse.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin {
namespace {

using json = nlohmann::json;

// The message of the std::invalid_argument that ParseFilter throws for text.
std::string ParseError(const std::string& text) {
  try {
    ParseFilter(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error for " << text;
  return "";
}

TEST(FilterParse, NoFilterTextsPassThroughUnchecked) {
  EXPECT_EQ(ParseFilter(""), json::object());
  EXPECT_EQ(ParseFilter("{}"), json::object());
  EXPECT_EQ(ParseFilter("[]"), json::array());
  EXPECT_TRUE(ParseFilter("null").is_null());
  EXPECT_TRUE(ParseFilter(" null ").is_null());
  for (const json& f : {json(), json::object(), json::array()}) EXPECT_TRUE(IsEmptyFilter(f));
  for (const json& f : {json(0), json(""), json::array({1}), json{{"a", 1}}}) {
    EXPECT_FALSE(IsEmptyFilter(f)) << f;
  }
}

TEST(FilterParse, ShorthandBecomesEqualityAndValidates) {
  EXPECT_EQ(ParseFilter(R"({"type": "image"})"), json::parse(R"({"type": {"$eq": "image"}})"));
  EXPECT_EQ(ParseFilter(R"({"a": {"b": 1}})"), json::parse(R"({"a": {"$eq": {"b": 1}}})"));
  EXPECT_EQ(ParseFilter(R"({"tags": ["a", "b"]})"),
            json::parse(R"({"tags": {"$eq": ["a", "b"]}})"));
  EXPECT_EQ(ParseFilter(R"({"n": 1.5})"), json::parse(R"({"n": {"$eq": 1.5}})"));
  EXPECT_EQ(ParseFilter(R"({"b": false})"), json::parse(R"({"b": {"$eq": false}})"));
}

TEST(FilterParse, NormalizeRewritesFieldEntriesAtEveryLogicalLevel) {
  json f = json::parse(R"({
    "$and": [{"a": 1}, {"$or": [{"b": "x"}, {"$not": {"c": null}}]}, 7, [{"d": 1}]],
    "$nor": [{"e": {"f": 2}}],
    "$not": {"g": [1]},
    "h": {"$gt": 3}
  })");
  NormalizeFilter(f);
  EXPECT_EQ(f, json::parse(R"({
    "$and": [{"a": {"$eq": 1}},
             {"$or": [{"b": {"$eq": "x"}}, {"$not": {"c": {"$eq": null}}}]},
             7, [{"d": 1}]],
    "$nor": [{"e": {"$eq": {"f": 2}}}],
    "$not": {"g": {"$eq": [1]}},
    "h": {"$gt": 3}
  })"));
}

TEST(FilterParse, NormalizeLeavesOperandsAsWritten) {
  // Rewriting these operands would make them unable to match the very
  // objects they name.
  for (const char* text :
       {R"({"a": {"$eq": {"b": 1}}})", R"({"a": {"$in": [{"b": 1}, 2]}})",
        R"({"a": {"$ne": {"b": {"c": 1}}}})", R"({"$and": [{"a": {"$nin": [{"b": 1}]}}]})"}) {
    json f = json::parse(text);
    NormalizeFilter(f);
    EXPECT_EQ(f, json::parse(text)) << text;
  }
  // A $-key that is not logical is a field path: its condition is kept too.
  json f = json::parse(R"({"$and": [{"$size": {"x": 1}}]})");
  NormalizeFilter(f);
  EXPECT_EQ(f, json::parse(R"({"$and": [{"$size": {"x": 1}}]})"));
  // Non-objects are left alone.
  for (json v : {json(3), json::array({json{{"a", 1}}}), json()}) {
    const json before = v;
    NormalizeFilter(v);
    EXPECT_EQ(v, before);
  }
}

TEST(FilterParse, ValidationMessages) {
  const std::string kOne = "The filters argument must contain exactly one top-level filter.";
  const std::string kMulti =
      "A single field can only have one condition. Found multiple conditions for field: ";
  const std::string kTop = "The top-level filter must be one of: $and, $or, $nor, $not.";
  const struct {
    const char* text;
    std::string message;
  } kCases[] = {
      {R"({"a": 1, "b": 2})", kOne},
      {R"({"a": {"$gt": 1, "$lt": 5}})", kMulti + "a"},
      {R"({"a.b": {"$eq": 1, "c": 2}})", kMulti + "a.b"},
      {R"({"a": {"$near": 1}})", "Unsupported operator: $near for field: a"},
      {R"({"a": {"$in": null}})",
       "Invalid query: Operator `$in` cannot have an empty object or null as a value."},
      {R"({"a": {"$ne": {}}})",
       "Invalid query: Operator `$ne` cannot have an empty object or null as a value."},
      {R"({"a": null})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"a": {}})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"$xor": []})", kTop},
      {R"({"$where": "x"})", kTop},
      {"[1]", "The filters argument must be a JSON object."},
      {"5", "The filters argument must be a JSON object."},
      {R"("text")", "The filters argument must be a JSON object."},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;
}

TEST(FilterParse, AcceptedShapes) {
  // Logical operands are not inspected, and several operators are fine below
  // a logical operator.
  EXPECT_NO_THROW(ParseFilter(R"({"$and": "x"})"));
  EXPECT_NO_THROW(ParseFilter(R"({"$and": [{"a": {"$gt": 1, "$lt": 5}}]})"));
  EXPECT_NO_THROW(ParseFilter(R"({"$not": {"a": 1, "b": 2}})"));
  EXPECT_NO_THROW(ParseFilter(R"({"a": {"$in": []}})"));
  EXPECT_NO_THROW(ParseFilter(R"({"a": {"$eq": 0}})"));
  for (const std::string& op : AllowedFilterOperators()) {
    EXPECT_NO_THROW(ParseFilter(R"({"f": {")" + op + R"(": 1}})")) << op;
  }
}

TEST(FilterParse, MalformedTextKeepsParserMessage) {
  const std::string prefix = "Invalid JSON format for filters: ";
  for (const char* text : {R"({"a": })", "{", R"({"a": 1} // comment)", "nul", "{'a': 1}"}) {
    const std::string message = ParseError(text);
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_NE(message.find("parse error"), std::string::npos) << message;
  }
}

TEST(FilterParse, RefusesFiltersNestedTooDeeply) {
  // Nested $not filters, and a deep operand: both would otherwise be walked
  // recursively.
  auto nested_not = [](size_t levels) {
    std::string text;
    for (size_t i = 0; i < levels; ++i) text += R"({"$not": )";
    text += R"({"a": 1})";
    return text + std::string(levels, '}');
  };
  auto deep_operand = [](size_t levels) {
    return R"({"a": {"$eq": )" + std::string(levels, '[') + std::string(levels, ']') + "}}";
  };
  const std::string message = "The filters argument is nested more than 256 levels deep.";
  EXPECT_EQ(ParseError(nested_not(100000)), message);
  EXPECT_EQ(ParseError(deep_operand(100000)), message);
  // {"a": 1} and {"a": {"$eq": []}} are 2 levels deep before the added ones.
  EXPECT_NO_THROW(ParseFilter(nested_not(kMaxFilterDepth - 2)));
  EXPECT_EQ(ParseError(nested_not(kMaxFilterDepth - 1)), message);
  EXPECT_NO_THROW(ParseFilter(deep_operand(kMaxFilterDepth - 2)));
  EXPECT_EQ(ParseError(deep_operand(kMaxFilterDepth - 1)), message);
}

TEST(FilterParse, ValidateUnnormalisedInputSafely) {
  // FilterItems may validate a filter that never went through ParseFilter.
  EXPECT_THROW(ValidateFilter(json::parse(R"({"a": {}})")), std::invalid_argument);
  EXPECT_THROW(ValidateFilter(json::parse(R"({"a": 3})")), std::invalid_argument);
  EXPECT_THROW(ValidateFilter(json()), std::invalid_argument);
  EXPECT_THROW(ValidateFilter(json::object()), std::invalid_argument);
  EXPECT_TRUE(ValidateFilter(json::parse(R"({"a": {"$exists": true}})")));
}

TEST(FilterParse, OperatorSetsAreFixedProcessWide) {
  const auto& ops = AllowedFilterOperators();
  EXPECT_EQ(ops, (std::unordered_set<std::string>{"$eq", "$ne", "$gt", "$gte", "$lt", "$lte",
                                                  "$exists", "$regex", "$in", "$nin", "$type"}));
  EXPECT_EQ(LogicalFilterOperators(),
            (std::unordered_set<std::string>{"$and", "$or", "$nor", "$not"}));
  EXPECT_EQ(&ops, &AllowedFilterOperators());
  EXPECT_EQ(&LogicalFilterOperators(), &LogicalFilterOperators());
}

}  // namespace
}  // namespace tavrin
