// Hand-written cases of filter parsing and evaluation: the exact messages,
// what the randomised reference tests (filter_property_test.cc) never
// generate, and the bounds on $regex work and on nesting.
#include "filter/filter_eval.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "filter/filter_parse.h"
#include "test_util.h"

namespace tavrin {
namespace {

using json = nlohmann::json;
using testing::error_text;

// Texts nesting a filter below levels $not filters, and an operand levels deep.
std::string NestedNot(size_t levels) {
  std::string text;
  for (size_t i = 0; i < levels; ++i) text += R"({"$not": )";
  return text + R"({"a": 1})" + std::string(levels, '}');
}
std::string DeepOperand(size_t levels) {
  return R"({"a": {"$eq": )" + std::string(levels, '[') + std::string(levels, ']') + "}}";
}

// Every message a filter fails with: of ParseFilter on the text alone, or of
// EvaluateFilter (unnormalised) on a document when one is given. An expected
// text ending in "..." is a prefix of the message, one starting with "..." a
// part of it; kNone is no failure.
TEST(Filter, MessageTable) {
  const std::string kNone = "<no exception of the expected type>";
  const std::string kMulti =
      "A single field can only have one condition. Found multiple conditions for field: ";
  const std::string kDeep = "The filters argument is nested more than 256 levels deep.";
  const std::string kMalformed = "Invalid JSON format for filters: [json.exception.";
  const std::string kOverflow = kMalformed + "out_of_range.406] number overflow parsing '...";
  const std::string kBadRegex = "Invalid regex pattern: ";
  auto regex = [](const std::string& pattern) { return json{{"s", {{"$regex", pattern}}}}.dump(); };
  const std::string os = json{{"s", std::string(1024, 'o')}}.dump();
  // Logical operands are not inspected, and several operators are fine below
  // a logical operator; operands are only read on evaluation.
  std::string all_ops = R"({"$and": [{"a": {"$gt": 1, "$lt": 5}})";
  for (const char* op : {"$ne", "$gte", "$lte", "$exists", "$regex", "$in", "$nin", "$type"})
    all_ops += R"(, {"f": {")" + std::string(op) + R"(": 1}})";
  const struct {
    std::string filter, document, message;
  } kCases[] = {
      {R"({"a": 1, "b": 2})", "",
       "The filters argument must contain exactly one top-level filter."},
      {R"({"a": {"$gt": 1, "$lt": 5}})", "", kMulti + "a"},
      {R"({"a.b": {"$eq": 1, "c": 2}})", "", kMulti + "a.b"},
      {R"({"a": {"$near": 1}})", "", "Unsupported operator: $near for field: a"},
      {R"({"a": {"$in": null}})", "",
       "Invalid query: Operator `$in` cannot have an empty object or null as a value."},
      {R"({"a": {}})", "",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"$xor": []})", "", "The top-level filter must be one of: $and, $or, $nor, $not."},
      {"[1]", "", "The filters argument must be a JSON object."},
      {R"({"a": 1} // comment)", "", kMalformed + "parse_error..."},
      // Numbers beyond a double are malformed too, in operands and in
      // shorthand values, written as exponents or as long integers.
      {R"({"a": {"$gt": 1e400}})", "", kOverflow},
      {R"({"$and": [{"a": )" + std::string(400, '9') + "}]}", "", kOverflow},
      // Both would otherwise be walked recursively.
      {NestedNot(100000), "", kDeep},
      {NestedNot(kMaxFilterDepth - 1), "", kDeep}, {NestedNot(kMaxFilterDepth - 2), "", kNone},
      {DeepOperand(kMaxFilterDepth - 1), "", kDeep}, {DeepOperand(kMaxFilterDepth - 2), "", kNone},
      {all_ops + "]}", "", kNone},
      {R"({"$not": {"a": 1, "b": 2}})", "", kNone},
      {R"({"a": 1.7e308})", "", kNone},
      {R"({"x": {"$type": "null"}})", R"({"x": 1})", "Unsupported type in $type operator: null"},
      // Entries in key order, stopping at the first that fails: "a" first.
      {R"({"a": {"$eq": 1}, "b": {"$bogus": 1}})", R"({"a": 1, "b": 1})",
       "Unsupported operator: $bogus"},
      {R"({"a": {"$eq": 1}, "b": {"$bogus": 1}})", R"({"a": 2, "b": 1})", kNone},
      // No operand is read on a missing field, so a bad one stays silent.
      {R"({"x": {"$bogus": 1}})", "{}", kNone},
      // A bad pattern is reported as written, even one that the matcher's
      // wrapping group would make valid.
      {regex("a)|(?:b"), os, kBadRegex + "a)|(?:b\nError: ..."},
      // Back-references would need the backtracking matcher, whose recursion
      // overflows the stack on such patterns.
      {regex("(o)\\1"), os, kBadRegex + "(o)\\1\nError: Back-references are not supported."},
      {regex(std::string(20000, '(') + std::string(20000, ')')), os,
       "...\nError: Pattern is longer than 4096 bytes."},
      // Quadratic lookahead runs out of budget.
      {regex("(?=.*z)"), json{{"s", std::string(20000, 'b')}}.dump(),
       "Regex pattern too costly to evaluate: (?=.*z)"},
  };
  for (const auto& c : kCases) {
    const std::string got =
        c.document.empty() ? error_text<std::invalid_argument>([&] { ParseFilter(c.filter); })
                           : error_text([&] {
                               EvaluateFilter(json::parse(c.filter), json::parse(c.document));
                             });
    const std::string& want = c.message;
    const size_t n = want.size() - 3;
    EXPECT_TRUE(want.rfind("...", 0) == 0        ? got.find(want.substr(3)) != std::string::npos
                : want.compare(n, 3, "...") == 0 ? got.compare(0, n, want, 0, n) == 0 : got == want)
        << c.filter.substr(0, 80) << "\n" << got.substr(0, 200);
  }
}

TEST(FilterParse, EmptyFiltersAndTheNormalForm) {
  EXPECT_EQ(ParseFilter(""), json::object());
  EXPECT_TRUE(ParseFilter(" null ").is_null());
  EXPECT_FALSE(IsEmptyFilter(json(0)) || IsEmptyFilter(json("")));
  // Shorthand is rewritten at every logical level (the randomised test judges
  // that), but operands are values, not filters, and a non-logical $-key is a
  // field: the generated filters seldom tell when those are rewritten too.
  const json kept = json::parse(R"({"$and": [{"a": {"$in": [{"b": 1}]}}, {"$size": {"x": 1}}]})");
  json normal = kept;
  NormalizeFilter(normal);
  EXPECT_EQ(normal, kept);
}

// What the randomised tests never generate: NaN, numbers beyond the JSON
// library's equality, subjects holding the marker byte or far longer, shapes
// NormalizeFilter would rewrite.
TEST(FilterEval, OperatorAndFilterTable) {
  const json nan = std::numeric_limits<double>::quiet_NaN();
  const std::string as(100000, 'a');
  std::string words;
  for (int i = 0; i < 20000; ++i) words += "the quick brown fox 0123 ";
  const struct {
    const char* op;
    json field, operand;
    bool holds;
  } kCases[] = {
      // Our own equality: the JSON library's calls these two equal.
      {"$in", json::parse("18446744073709551615"), json::array({-1}), false},
      // A NaN is neither equal nor unequal to a number.
      {"$ne", nan, 1, false},
      {"$ne", 1, nan, false},
      {"$ne", nan, "x", true},
      {"$ne", json::array({nan}), nan, true},
      // A subject holding the marker byte (not UTF-8) is searched the plain
      // way, where $ is only its end.
      {"$regex", "\xFF" "ab", "\\xFF(?=a)", true},
      {"$regex", "a\xFF" "b", "a(?=$)", false},
      // One pass, where a backtracking matcher takes exponential time.
      {"$regex", as + " b", "(?=\\bb)", true},
      {"$regex", as + "b", "(a+)+$", false},
      {"$regex", words + "zz", "(\\w+\\s){3}zz", true},
      {"$regex", "x", std::string(1000, '(') + "x" + std::string(1000, ')'), true},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(EvaluateOperator(c.op, c.field, c.operand), c.holds)
        << c.op << " " << c.operand.dump().substr(0, 40);
  }
  // Unnormalised, as NormalizeFilter would rewrite these object operands.
  const json doc = {{"x", 1}};
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$and": {"p": {"x": {"$eq": 1}}, "q": null}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"$or": {"p": {"x": {"$eq": 2}}}})"), doc));
  // Validation is optional: an unvalidated two-entry filter means both.
  const std::vector<json> docs = {{{"n", 1}}, json::object(), {{"n", 5}}};
  const json two = json::parse(R"({"n": {"$gte": 2}, "m": {"$exists": false}})");
  EXPECT_THROW(FilterItems(docs, two, true), std::invalid_argument);
  EXPECT_EQ(FilterItems(docs, two, false), (std::vector<uint32_t>{2}));
}

// The work of a query's searches is bounded as a whole, lookaheads and
// capture copies included: each pattern below costs the matcher far more per
// value than its reads, and one value fits the shared base while a thousand
// do not.
TEST(FilterItems, RegexWorkIsBoundedOverTheWholeQuery) {
  std::string lookaheads, groups;
  for (int i = 0; i < 100; ++i) lookaheads += "(?=a)";
  for (int i = 0; i < 40; ++i) groups += "(a)?";
  const json value = {{"s", std::string(30, 'a')}};
  for (const std::string& pattern : {lookaheads, groups}) {
    const json filter = {{"s", {{"$regex", pattern}}}};
    EXPECT_EQ(FilterItems({value}, filter, true), std::vector<uint32_t>{0});
    EXPECT_EQ(error_text([&] { FilterItems(std::vector<json>(1000, value), filter, true); }),
              "Regex pattern too costly to evaluate: " + pattern);
  }
}

}  // namespace
}  // namespace tavrin
