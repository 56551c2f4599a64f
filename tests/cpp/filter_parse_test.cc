#include "filter/filter_parse.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

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
  EXPECT_TRUE(ParseFilter(" null ").is_null());
  for (const json& f : {json(0), json(""), json::array({1}), json{{"a", 1}}}) {
    EXPECT_FALSE(IsEmptyFilter(f)) << f;
  }
}

TEST(FilterParse, NormalizeRewritesShorthandAtEveryLogicalLevel) {
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {
      {R"({"type": "image"})", R"({"type": {"$eq": "image"}})"},
      {R"({"a": {"b": 1}})", R"({"a": {"$eq": {"b": 1}}})"},
      {R"({"tags": ["a"]})", R"({"tags": {"$eq": ["a"]}})"},
      {R"({"a": {}})", R"({"a": {"$eq": {}}})"},
      {R"({"$and": [{"a": 1}, {"$or": [{"b": "x"}, {"$not": {"c": null}}]}, 7, [{"d": 1}]],
          "$nor": {"e": {"f": 2}}, "h": {"$gt": 3}})",
       R"({"$and": [{"a": {"$eq": 1}}, {"$or": [{"b": {"$eq": "x"}}, {"$not": {"c": {"$eq": null}}}]},
                    7, [{"d": 1}]],
           "$nor": {"e": {"$eq": {"f": 2}}}, "h": {"$gt": 3}})"},
      // Operands are values, not filters: rewriting them would stop them
      // matching the very objects they name. A non-logical $-key is a field.
      {R"({"a": {"$eq": {"b": 1}}})", R"({"a": {"$eq": {"b": 1}}})"},
      {R"({"$and": [{"a": {"$in": [{"b": 1}]}}, {"$size": {"x": 1}}]})",
       R"({"$and": [{"a": {"$in": [{"b": 1}]}}, {"$size": {"x": 1}}]})"},
  };
  for (const auto& c : kCases) {
    json f = json::parse(c.in);
    NormalizeFilter(f);
    EXPECT_EQ(f, json::parse(c.out)) << c.in;
  }
  json scalar = 3;
  NormalizeFilter(scalar);
  EXPECT_EQ(scalar, json(3));
  EXPECT_EQ(ParseFilter(R"({"type": "image"})"), json::parse(R"({"type": {"$eq": "image"}})"));
}

TEST(FilterParse, ValidationMessages) {
  const std::string kOne = "The filters argument must contain exactly one top-level filter.";
  const std::string kMulti =
      "A single field can only have one condition. Found multiple conditions for field: ";
  const std::string kTop = "The top-level filter must be one of: $and, $or, $nor, $not.";
  auto empty_or_null = [](const std::string& op) {
    return "Invalid query: Operator `" + op + "` cannot have an empty object or null as a value.";
  };
  const struct {
    const char* text;
    std::string message;
  } kCases[] = {
      {R"({"a": 1, "b": 2})", kOne},
      {R"({"a": {"$gt": 1, "$lt": 5}})", kMulti + "a"},
      {R"({"a.b": {"$eq": 1, "c": 2}})", kMulti + "a.b"},
      {R"({"a": {"$near": 1}})", "Unsupported operator: $near for field: a"},
      {R"({"a": {"$in": null}})", empty_or_null("$in")},
      {R"({"a": {"$ne": {}}})", empty_or_null("$ne")},
      {R"({"a": null})", empty_or_null("$eq")},
      {R"({"a": {}})", empty_or_null("$eq")},
      {R"({"$xor": []})", kTop},
      {"[1]", "The filters argument must be a JSON object."},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseError(c.text), c.message) << c.text;
  // Straight to ValidateFilter, unnormalised.
  EXPECT_THROW(ValidateFilter(json::parse(R"({"a": {}})")), std::invalid_argument);
  EXPECT_THROW(ValidateFilter(json::parse(R"({"a": 3})")), std::invalid_argument);
  EXPECT_THROW(ValidateFilter(json::object()), std::invalid_argument);
}

TEST(FilterParse, AcceptedShapes) {
  // Logical operands are not inspected, and several operators are fine below
  // a logical operator.
  for (const char* text :
       {R"({"$and": "x"})", R"({"$and": [{"a": {"$gt": 1, "$lt": 5}}]})",
        R"({"$not": {"a": 1, "b": 2}})", R"({"a": {"$in": []}})", R"({"a": {"$eq": 0}})"}) {
    EXPECT_NO_THROW(ParseFilter(text)) << text;
  }
  for (const char* op :
       {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$exists", "$regex", "$in", "$nin", "$type"}) {
    EXPECT_NO_THROW(ParseFilter(R"({"f": {")" + std::string(op) + R"(": 1}})")) << op;
  }
  for (const char* key : {"$and", "$or", "$nor", "$not"}) {
    EXPECT_TRUE(ValidateFilter(json{{key, json::array()}})) << key;
  }
}

TEST(FilterParse, MalformedTextKeepsParserMessage) {
  const std::string prefix = "Invalid JSON format for filters: [json.exception.parse_error";
  for (const char* text : {R"({"a": })", R"({"a": 1} // comment)", "{'a': 1}"}) {
    EXPECT_EQ(ParseError(text).rfind(prefix, 0), 0u) << text;
  }
  // Numbers beyond a double are malformed input too, in operands and in
  // shorthand values, written as exponents or as long integers.
  const std::string big_integer(400, '9');
  for (const std::string& text :
       {std::string(R"({"a": {"$gt": 1e400}})"), std::string(R"({"a": -1e309})"),
        R"({"$and": [{"a": )" + big_integer + "}]}"}) {
    EXPECT_EQ(ParseError(text).rfind("Invalid JSON format for filters: ", 0), 0u) << text;
    EXPECT_NE(ParseError(text).find("number overflow"), std::string::npos) << text;
  }
  EXPECT_NO_THROW(ParseFilter(R"({"a": 1.7e308})"));
}

TEST(FilterParse, RefusesFiltersNestedTooDeeply) {
  // Nested $not filters, and a deep operand: both would otherwise be walked
  // recursively. {"a": 1} and {"a": {"$eq": []}} are 2 levels before these.
  auto nested_not = [](size_t levels) {
    std::string text;
    for (size_t i = 0; i < levels; ++i) text += R"({"$not": )";
    return text + R"({"a": 1})" + std::string(levels, '}');
  };
  auto deep_operand = [](size_t levels) {
    return R"({"a": {"$eq": )" + std::string(levels, '[') + std::string(levels, ']') + "}}";
  };
  const std::string message = "The filters argument is nested more than 256 levels deep.";
  for (auto make : {+nested_not, +deep_operand}) {
    EXPECT_EQ(ParseError(make(100000)), message);
    EXPECT_NO_THROW(ParseFilter(make(kMaxFilterDepth - 2)));
    EXPECT_EQ(ParseError(make(kMaxFilterDepth - 1)), message);
  }
}

}  // namespace
}  // namespace tavrin
