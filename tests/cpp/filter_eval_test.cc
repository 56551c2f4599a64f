#include "filter/filter_eval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "filter/filter_parse.h"
#include "filter/filter_regex.h"

namespace tavrin {
namespace {

using json = nlohmann::json;

bool Matches(const char* filter_text, const char* document_text) {
  return EvaluateFilter(ParseFilter(filter_text), json::parse(document_text));
}

// The message of whatever EvaluateFilter throws, or "" when it returns.
std::string EvalError(const json& filter, const json& document) {
  try {
    EvaluateFilter(filter, document);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FilterEval, ArraysCompareElementWise) {
  EXPECT_TRUE(Matches(R"({"tags": {"$eq": "a"}})", R"({"tags": ["a", "b"]})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$eq": ["a", "b"]}})", R"({"tags": ["a", "b"]})"));
  EXPECT_TRUE(Matches(R"({"tags": {"$eq": ["a", "b"]}})", R"({"tags": [["a", "b"], "c"]})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$ne": "a"}})", R"({"tags": ["a", "b"]})"));
  EXPECT_TRUE(Matches(R"({"tags": {"$ne": "z"}})", R"({"tags": ["a", "b"]})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$eq": "a"}})", R"({"tags": []})"));
  EXPECT_TRUE(Matches(R"({"tags": {"$ne": "a"}})", R"({"tags": []})"));
  EXPECT_TRUE(Matches(R"({"tags": {"$in": ["x", "b"]}})", R"({"tags": ["a", "b"]})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$in": ["x", "y"]}})", R"({"tags": ["a", "b"]})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$in": ["x"]}})", R"({"tags": []})"));
  EXPECT_FALSE(Matches(R"({"tags": {"$nin": ["x", "b"]}})", R"({"tags": ["a", "b"]})"));
  EXPECT_TRUE(Matches(R"({"tags": {"$nin": ["x"]}})", R"({"tags": []})"));
  EXPECT_TRUE(Matches(R"({"v": {"$gt": 4}})", R"({"v": ["9", 5, true]})"));
  EXPECT_FALSE(Matches(R"({"v": {"$gt": 4}})", R"({"v": ["9", 3, true]})"));
  EXPECT_FALSE(Matches(R"({"v": {"$lt": 4}})", R"({"v": [[1]]})"));
  EXPECT_TRUE(Matches(R"({"v": {"$type": "array"}})", R"({"v": [1]})"));
  EXPECT_FALSE(Matches(R"({"v": {"$type": "number"}})", R"({"v": [1]})"));
  EXPECT_FALSE(Matches(R"({"v": {"$regex": "a"}})", R"({"v": ["a"]})"));
}

TEST(FilterEval, NumbersCompareByValueAcrossKinds) {
  EXPECT_FALSE(Matches(R"({"price": {"$gt": "5"}})", R"({"price": 6})"));
  EXPECT_TRUE(Matches(R"({"price": {"$gt": 5}})", R"({"price": 5.5})"));
  EXPECT_TRUE(Matches(R"({"price": {"$gt": 5}})", R"({"price": 6})"));
  EXPECT_FALSE(Matches(R"({"price": {"$gt": 5}})", R"({"price": 5})"));
  EXPECT_TRUE(Matches(R"({"price": {"$gte": 5.0}})", R"({"price": 5})"));
  EXPECT_TRUE(Matches(R"({"price": {"$lte": -1}})", R"({"price": -1.0})"));
  EXPECT_FALSE(Matches(R"({"price": {"$lt": 1}})", R"({"price": "0"})"));
  EXPECT_FALSE(Matches(R"({"price": {"$lt": 1}})", R"({"price": false})"));

  const json kOne[] = {json(int64_t{1}), json(uint64_t{1}), json(1.0)};
  for (const json& f : kOne) {
    for (const json& a : kOne) {
      EXPECT_TRUE(EvaluateOperator("$eq", f, a)) << f.type_name() << " " << a.type_name();
      EXPECT_FALSE(EvaluateOperator("$ne", f, a));
      EXPECT_TRUE(EvaluateOperator("$in", f, json::array({a})));
      EXPECT_TRUE(EvaluateOperator("$gte", f, a));
      EXPECT_FALSE(EvaluateOperator("$gt", f, a));
    }
  }
  // Nested arrays and objects compare numbers by value too.
  EXPECT_TRUE(Matches(R"({"v": {"$eq": {"a": [1, 2.0]}}})", R"({"v": {"a": [1.0, 2]}})"));
  EXPECT_FALSE(Matches(R"({"v": {"$eq": {"a": [1, 2]}}})", R"({"v": {"a": [1, 2, 3]}})"));
  EXPECT_FALSE(Matches(R"({"v": {"$eq": {"a": 1}}})", R"({"v": {"b": 1}})"));
}

TEST(FilterEval, LargeUnsignedNeverEqualsNegative) {
  // The JSON library's own operator== casts the unsigned value to signed and
  // would call these equal.
  const json big = json::parse("18446744073709551615");
  ASSERT_TRUE(big.is_number_unsigned());
  EXPECT_FALSE(EvaluateOperator("$eq", big, json(-1)));
  EXPECT_TRUE(EvaluateOperator("$ne", big, json(-1)));
  EXPECT_FALSE(EvaluateOperator("$in", big, json::array({-1})));
  EXPECT_FALSE(EvaluateOperator("$eq", json::array({-1}), json::array({big})));
  EXPECT_FALSE(Matches(R"({"x": -1})", R"({"x": 18446744073709551615})"));
  EXPECT_TRUE(Matches(R"({"x": 18446744073709551615})", R"({"x": 18446744073709551615})"));
  EXPECT_TRUE(EvaluateOperator("$eq", json(uint64_t{7}), json(int64_t{7})));
}

TEST(FilterEval, NaNIsNeitherEqualNorUnequal) {
  const json nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(EvaluateOperator("$eq", nan, nan));
  EXPECT_FALSE(EvaluateOperator("$ne", nan, json(1)));
  EXPECT_FALSE(EvaluateOperator("$ne", json(1), nan));
  EXPECT_TRUE(EvaluateOperator("$ne", nan, json("x")));
  EXPECT_TRUE(EvaluateOperator("$ne", json::array({nan}), nan));
}

TEST(FilterEval, DottedPaths) {
  EXPECT_TRUE(Matches(R"({"a.b": {"$eq": 1}})", R"({"a": {"b": 1}})"));
  EXPECT_FALSE(Matches(R"({"a.b": {"$eq": 1}})", R"({"a.b": 1})"));
  EXPECT_TRUE(Matches(R"({"a.b.c": "x"})", R"({"a": {"b": {"c": "x"}}})"));
  EXPECT_FALSE(Matches(R"({"a.b": 1})", R"({"a": [{"b": 1}]})"));
  EXPECT_FALSE(Matches(R"({"a.0": 1})", R"({"a": [1]})"));
  EXPECT_FALSE(Matches(R"({"a.b": 1})", R"({"a": "b"})"));
  EXPECT_TRUE(Matches(R"({"a.b": {"$exists": false}})", R"({"a": 5})"));
  EXPECT_TRUE(Matches(R"({"a..b": 1})", R"({"a": {"": {"b": 1}}})"));
  EXPECT_TRUE(Matches(R"({"a.": 1})", R"({"a": {"": 1}})"));
  EXPECT_TRUE(Matches(R"({"": 1})", R"({"": 1})"));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"a": {"$eq": 1}})"), json::array({1})));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"a": {"$eq": 1}})"), json()));
}

TEST(FilterEval, MissingAndNullFields) {
  EXPECT_TRUE(Matches(R"({"x": {"$exists": false}})", "{}"));
  EXPECT_TRUE(Matches(R"({"x": {"$exists": false}})", R"({"x": null})"));
  EXPECT_TRUE(Matches(R"({"x": {"$exists": true}})", R"({"x": 0})"));
  EXPECT_FALSE(Matches(R"({"x": {"$exists": true}})", R"({"x": null})"));
  EXPECT_FALSE(Matches(R"({"x": {"$exists": false}})", R"({"x": false})"));
  EXPECT_FALSE(Matches(R"({"x": {"$ne": 1}})", "{}"));
  EXPECT_FALSE(Matches(R"({"x": {"$nin": [1]}})", "{}"));
  // {"$eq": null} never matches: a null field fails everything but $exists.
  EXPECT_FALSE(
      EvaluateFilter(json::parse(R"({"x": {"$eq": null}})"), json::parse(R"({"x": null})")));
  // Only a lone $exists false holds, and 0 is not false.
  const json doc = json::object();
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"x": {"$exists": 0}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"x": {"$exists": false, "$ne": 1}})"), doc));
  // No operator is even read on a missing field, so bad operands stay silent.
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"x": {"$bogus": 1}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"x": {"$regex": "("}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"x": {"$type": "null"}})"), doc));
}

TEST(FilterEval, ExistsNeedsBoolean) {
  try {
    EvaluateFilter(json::parse(R"({"x": {"$exists": 1}})"), json::parse(R"({"x": 3})"));
    FAIL() << "no error";
  } catch (const json::type_error& e) {
    EXPECT_TRUE(EndsWith(e.what(), "type must be boolean, but is number")) << e.what();
  }
  EXPECT_THROW(EvaluateOperator("$exists", json("s"), json("true")), json::type_error);
  EXPECT_FALSE(EvaluateOperator("$exists", json(1), json(false)));
  EXPECT_TRUE(EvaluateOperator("$exists", json::array(), json(true)));
}

TEST(FilterEval, Regex) {
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "^ab"}})", R"({"name": "abc"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "^ab"}})", R"({"name": "cab"})"));
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "b"}})", R"({"name": "abc"})"));
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "c$"}})", R"({"name": "abc"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "a$"}})", R"({"name": "abc"})"));
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "^$"}})", R"({"name": ""})"));
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "\\bcat"}})", R"({"name": "a cat"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "\\bcat"}})", R"({"name": "bobcat"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "a.c"}})", "{\"name\": \"a\\nc\"}"));
  EXPECT_TRUE(Matches(R"({"name": {"$regex": "(o)\\1"}})", R"({"name": "book"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "(o)\\1"}})", R"({"name": "bok"})"));
  EXPECT_TRUE(Matches(R"j({"name": {"$regex": "ab(?!c)"}})j", R"({"name": "abcabd"})"));
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "AB"}})", R"({"name": "abc"})"));
  // A field that is not a string fails before the pattern is read.
  EXPECT_FALSE(Matches(R"({"name": {"$regex": "("}})", R"({"name": 5})"));

  const std::string message =
      EvalError(json::parse(R"({"name": {"$regex": "("}})"), json::parse(R"({"name": "x"})"));
  EXPECT_EQ(message.rfind("Invalid regex pattern: (\nError: ", 0), 0u) << message;
  EXPECT_GT(message.size(), std::string("Invalid regex pattern: (\nError: ").size());
  EXPECT_THROW(EvaluateOperator("$regex", json("x"), json(1)), json::type_error);
  EXPECT_TRUE(
      EndsWith(EvalError(json::parse(R"({"n": {"$regex": 1}})"), json::parse(R"({"n": "x"})")),
               "type must be string, but is number"));
}

TEST(FilterEval, RegexWorkIsBounded) {
  // Exponential for a backtracking matcher; linear here.
  const std::string as(100000, 'a');
  EXPECT_FALSE(EvaluateOperator("$regex", json(as + "b"), json("(a+)+$")));
  EXPECT_TRUE(EvaluateOperator("$regex", json(as), json("(a+)+$")));
  EXPECT_FALSE(EvaluateOperator("$regex", json(as), json("(a|aa)*c")));
  EXPECT_FALSE(EvaluateOperator("$regex", json(as), json("a.*b")));
  // Linear patterns over a long subject stay inside the budget.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "the quick brown fox 0123 ";
  EXPECT_FALSE(
      EvaluateOperator("$regex", json(text), json("(apple|banana|cherry|date|fig|grape)[0-9]+x")));
  EXPECT_TRUE(EvaluateOperator("$regex", json(text + "zz"), json("(\\w+\\s){3}zz")));

  const std::string costly = EvalError(json::parse(R"j({"s": {"$regex": "(?=.*z)"}})j"),
                                       json{{"s", std::string(20000, 'b')}});
  EXPECT_EQ(costly, "Regex pattern too costly to evaluate: (?=.*z)");
  // Back-references need backtracking, which is kept to short subjects.
  const std::string shortish(kBacktrackingSubjectLimit, 'o');
  EXPECT_TRUE(EvaluateOperator("$regex", json(shortish), json("(o)\\1")));
  EXPECT_EQ(EvalError(json::parse(R"({"s": {"$regex": "(o)\\1"}})"), json{{"s", shortish + "o"}}),
            "Regex pattern with back-references cannot search strings longer than 4096 bytes: "
            "(o)\\1");
  // The pattern compiler recurses per character; very long patterns are refused.
  const std::string nested = std::string(20000, '(') + std::string(20000, ')');
  const std::string refused = EvalError(json{{"s", {{"$regex", nested}}}}, json{{"s", "x"}});
  EXPECT_TRUE(EndsWith(refused, "\nError: Pattern is longer than 4096 bytes."))
      << refused.substr(0, 80);
  const std::string deep = std::string(1000, '(') + "x" + std::string(1000, ')');
  EXPECT_TRUE(EvaluateOperator("$regex", json("x"), json(deep)));
}

TEST(FilterEval, TypeNames) {
  const json values[] = {json("s"),  json(1),       json(2u),      json(1.5),
                         json(true), json::array(), json::object()};
  const char* expected[] = {"string", "number", "number", "number", "boolean", "array", "object"};
  const char* names[] = {"string", "number", "boolean", "array", "object"};
  for (size_t i = 0; i < std::size(values); ++i) {
    for (const char* name : names) {
      EXPECT_EQ(EvaluateOperator("$type", values[i], json(name)), std::string(name) == expected[i])
          << values[i] << " " << name;
    }
  }
  EXPECT_EQ(EvalError(json::parse(R"({"x": {"$type": "null"}})"), json::parse(R"({"x": 1})")),
            "Unsupported type in $type operator: null");
  EXPECT_EQ(EvalError(json::parse(R"({"x": {"$type": "String"}})"), json::parse(R"({"x": 1})")),
            "Unsupported type in $type operator: String");
  EXPECT_THROW(EvaluateOperator("$type", json(1), json(2)), json::type_error);
}

TEST(FilterEval, LogicalOperators) {
  const json doc = json::parse(R"({"x": 1, "y": "a"})");
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"$or": []})"), doc));
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$and": []})"), doc));
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$nor": []})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"$or": null})"), doc));
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$and": null})"), doc));
  EXPECT_TRUE(Matches(R"({"$not": {"x": {"$eq": 1}}})", "{}"));
  EXPECT_FALSE(Matches(R"({"$not": {"x": {"$eq": 1}}})", R"({"x": 1})"));
  EXPECT_TRUE(Matches(R"({"$or": [{"x": 2}, {"y": "a"}]})", R"({"x": 1, "y": "a"})"));
  EXPECT_FALSE(Matches(R"({"$nor": [{"x": 2}, {"y": "a"}]})", R"({"x": 1, "y": "a"})"));
  EXPECT_TRUE(Matches(R"({"$and": [{"x": {"$gt": 0, "$lt": 2}}, {"y": {"$in": ["a"]}}]})",
                      R"({"x": 1, "y": "a"})"));
  EXPECT_FALSE(Matches(R"({"$and": [{"x": {"$gt": 0, "$lt": 1}}]})", R"({"x": 1})"));
  // An object operand is iterated by its values; a null filter holds.
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$and": {"p": {"x": {"$eq": 1}}, "q": null}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"$or": {"p": {"x": {"$eq": 2}}}})"), doc));
  EXPECT_TRUE(EvaluateFilter(json(), doc));
  // Entries are taken in key order and evaluation stops at the first failure.
  const json f = json::parse(R"({"a": {"$eq": 1}, "b": {"$bogus": 1}})");
  EXPECT_FALSE(EvaluateFilter(f, json::parse(R"({"a": 2, "b": 1})")));
  EXPECT_EQ(EvalError(f, json::parse(R"({"a": 1, "b": 1})")), "Unsupported operator: $bogus");
}

TEST(FilterEval, MalformedFiltersRaiseLibraryErrors) {
  const json doc = json::parse(R"({"x": 1})");
  for (const char* text : {R"({"$and": [[{"x": 1}]]})", R"({"$and": [5]})", R"({"$not": "x"})",
                           R"({"$and": "x"})", R"({"x": 3})"}) {
    try {
      EvaluateFilter(json::parse(text), doc);
      ADD_FAILURE() << "no error for " << text;
    } catch (const json::invalid_iterator& e) {
      EXPECT_TRUE(EndsWith(e.what(), "cannot use key() for non-object iterators")) << e.what();
    }
  }
  EXPECT_EQ(EvalError(json::parse(R"({"x": {"$near": 1}})"), doc), "Unsupported operator: $near");
}

TEST(FilterItems, ReturnsMatchingIndicesInOrder) {
  const std::vector<json> docs = ParseMetadataBatch(
      {R"({"n": 1})", "", R"({"n": 5})", R"({"n": "5"})", R"({"n": [7]})", "null"});
  ASSERT_EQ(docs[1], json::object());
  EXPECT_EQ(FilterItems(docs, ParseFilter(R"({"n": {"$gt": 2}})"), true),
            (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(FilterItems(docs, ParseFilter(R"({"n": {"$exists": false}})"), true),
            (std::vector<uint32_t>{1, 5}));
  EXPECT_TRUE(FilterItems({}, ParseFilter(R"({"n": 1})"), true).empty());
  // Validation is optional: an unvalidated two-entry filter means both.
  const json two = json::parse(R"({"n": {"$gte": 1}, "m": {"$exists": false}})");
  EXPECT_THROW(FilterItems(docs, two, true), std::invalid_argument);
  EXPECT_EQ(FilterItems(docs, two, false), (std::vector<uint32_t>{0, 2, 4}));
}

// Documents numbered 0..n-1 whose field "x" is i; two chosen positions hold a
// text in "a" or "b" instead, which makes the filter below fail with
// different errors.
std::vector<json> DocsWithFailures(size_t n, size_t a_at, size_t b_at) {
  std::vector<json> docs(n);
  for (size_t i = 0; i < n; ++i) docs[i] = json{{"x", i}};
  docs[a_at] = json{{"a", "s"}};
  docs[b_at] = json{{"b", "s"}};
  return docs;
}

TEST(FilterItems, ReportsTheFirstFailingDocument) {
  const json filter =
      json::parse(R"({"$or": [{"a": {"$regex": "("}}, {"b": {"$regex": "[z-a]"}}]})");
  for (size_t n : {size_t{40}, size_t{5000}}) {  // sequential and parallel
    for (bool a_first : {true, false}) {
      const size_t first = n / 4 + 3, second = n - 2;
      const auto docs =
          a_first ? DocsWithFailures(n, first, second) : DocsWithFailures(n, second, first);
      try {
        FilterItems(docs, filter, true);
        ADD_FAILURE() << "no error";
      } catch (const std::invalid_argument& e) {
        const std::string expected =
            a_first ? "Invalid regex pattern: (\n" : "Invalid regex pattern: [z-a]\n";
        EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0u) << n << " " << e.what();
      }
    }
  }
}

TEST(FilterItems, ParallelAgreesWithEvaluateFilter) {
  std::vector<json> docs;
  for (int i = 0; i < 4000; ++i) {
    docs.push_back(json{{"n", i % 97},
                        {"name", (i % 3 == 0 ? "alpha" : "beta") + std::to_string(i % 11)},
                        {"tags", json::array({i % 5, "t" + std::to_string(i % 7)})}});
  }
  const json filters[] = {
      ParseFilter(R"({"$or": [{"n": {"$lt": 10}}, {"name": {"$regex": "^alpha1"}}]})"),
      ParseFilter(R"({"$and": [{"tags": {"$in": ["t3", 4]}}, {"name": {"$regex": "a[0-9]$"}},
                               {"$not": {"name": {"$regex": "a[0-9]$"}}}]})"),
      ParseFilter(R"({"$nor": [{"tags": "t1"}, {"n": {"$gte": 50}}]})"),
  };
  for (const json& filter : filters) {
    std::vector<uint32_t> expected;
    for (size_t i = 0; i < docs.size(); ++i) {
      if (EvaluateFilter(filter, docs[i])) expected.push_back(static_cast<uint32_t>(i));
    }
    EXPECT_EQ(FilterItems(docs, filter, true), expected) << filter;
  }
}

TEST(ParseMetadataBatch, ParsesInOrderAndReportsFirstBadText) {
  const auto docs = ParseMetadataBatch({R"({"a": 1})", "", "[1, 2]", "\"s\"", "null"});
  ASSERT_EQ(docs.size(), 5u);
  EXPECT_EQ(docs[0], json::parse(R"({"a": 1})"));
  EXPECT_EQ(docs[1], json::object());
  EXPECT_EQ(docs[2], json::parse("[1, 2]"));
  EXPECT_EQ(docs[3], json("s"));
  EXPECT_TRUE(docs[4].is_null());
  EXPECT_TRUE(ParseMetadataBatch({}).empty());

  for (size_t n : {size_t{10}, size_t{3000}}) {
    std::vector<std::string> texts(n, R"({"k": true})");
    texts[n / 2] = "{\"a\": tru}";
    texts[n - 1] = "[1,";
    try {
      ParseMetadataBatch(texts);
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("Invalid JSON string provided: [json.exception.parse_error", 0), 0u)
          << message;
      EXPECT_NE(message.find("tru"), std::string::npos) << message;
    }
  }
  // Comments are not JSON.
  EXPECT_THROW(ParseMetadataBatch({"{} // x"}), std::invalid_argument);
}

}  // namespace
}  // namespace tavrin
