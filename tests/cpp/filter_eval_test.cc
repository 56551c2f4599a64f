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

// filter_property_test.cc compares evaluation with a reference on random
// documents and filters; this table holds the listed edge cases and what its
// generator never writes: dotted keys, object operands, huge integers, NaN,
// unknown operators and the exact messages. Filters go through
// NormalizeFilter (not ParseFilter, so multi-entry filters stay).
TEST(FilterEval, MatchTable) {
  const struct {
    const char* filter;
    const char* document;
    bool matches;
  } kCases[] = {
      {R"({"tags": {"$eq": "a"}})", R"({"tags": ["a", "b"]})", true},
      {R"({"tags": {"$eq": ["a", "b"]}})", R"({"tags": ["a", "b"]})", false},
      {R"({"tags": {"$eq": ["a", "b"]}})", R"({"tags": [["a", "b"], "c"]})", true},
      {R"({"v": {"$in": {"k": 3}}})", R"({"v": 3})", true},
      {R"({"price": {"$gt": "5"}})", R"({"price": 6})", false},
      {R"({"price": {"$gt": 5}})", R"({"price": 5.5})", true},
      {R"({"price": {"$gt": 5}})", R"({"price": 6})", true},
      {R"({"price": {"$gt": 5}})", R"({"price": 5})", false},
      // Our own equality: the JSON library's calls these two equal.
      {R"({"x": -1})", R"({"x": 18446744073709551615})", false},
      {R"({"x": 18446744073709551615})", R"({"x": 18446744073709551615})", true},
      {R"({"a.b": 1})", R"({"a": {"b": 1}})", true},
      {R"({"a.b": 1})", R"({"a.b": 1})", false},
      {R"({"a.0": 1})", R"({"a": [1]})", false},
      {R"({"a..b": 1})", R"({"a": {"": {"b": 1}}})", true},
      {R"({"a": 1})", "[1]", false},
      {R"({"x": {"$exists": false}})", "{}", true},
      {R"({"x": {"$exists": false}})", R"({"x": null})", true},
      {R"({"x": {"$exists": true}})", R"({"x": 0})", true},
      {R"({"x": {"$ne": 1}})", "{}", false},
      // No operand is read on a missing field, so bad ones stay silent.
      {R"({"x": {"$bogus": 1}})", "{}", false},
      {R"({"x": {"$type": "null"}})", "{}", false},
      {R"({"n": {"$regex": "^ab"}})", R"({"n": "abc"})", true},
      {R"({"n": {"$regex": "^ab"}})", R"({"n": "cab"})", false},
      {R"({"n": {"$regex": "b"}})", R"({"n": "abc"})", true},
      {R"({"$or": []})", "{}", false},
      {R"({"$and": []})", "{}", true},
      {R"({"$nor": []})", "{}", true},
      {R"({"$or": null})", "{}", false},
      {R"({"$not": {"x": {"$eq": 1}}})", "{}", true},
  };
  for (const auto& c : kCases) {
    json filter = json::parse(c.filter);
    NormalizeFilter(filter);
    EXPECT_EQ(EvaluateFilter(filter, json::parse(c.document)), c.matches)
        << c.filter << " on " << c.document;
  }
  EXPECT_TRUE(EvaluateFilter(json(), json::object()));
  // Unnormalised, as NormalizeFilter would rewrite these object operands.
  const json doc = {{"x", 1}};
  EXPECT_TRUE(EvaluateFilter(json::parse(R"({"$and": {"p": {"x": {"$eq": 1}}, "q": null}})"), doc));
  EXPECT_FALSE(EvaluateFilter(json::parse(R"({"$or": {"p": {"x": {"$eq": 2}}}})"), doc));
  EXPECT_FALSE(EvaluateOperator("$in", json::parse("18446744073709551615"), json::array({-1})));
  // A NaN is neither equal nor unequal to a number.
  const json nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(EvaluateOperator("$eq", nan, nan));
  EXPECT_FALSE(EvaluateOperator("$ne", nan, json(1)));
  EXPECT_FALSE(EvaluateOperator("$ne", json(1), nan));
  EXPECT_TRUE(EvaluateOperator("$ne", nan, json("x")));
  EXPECT_TRUE(EvaluateOperator("$ne", json::array({nan}), nan));
}

TEST(FilterEval, ErrorTable) {
  const struct {
    const char* filter;
    const char* document;
    std::string tail;  // the end of the message
  } kCases[] = {
      {R"({"x": {"$exists": 1}})", R"({"x": 3})", "type must be boolean, but is number"},
      {R"({"x": {"$regex": 1}})", R"({"x": "s"})", "type must be string, but is number"},
      {R"({"x": {"$type": "null"}})", R"({"x": 1})", "Unsupported type in $type operator: null"},
      {R"({"x": {"$near": 1}})", R"({"x": 1})", "Unsupported operator: $near"},
      // Entries in key order, stopping at the first that fails: "a" first.
      {R"({"a": {"$eq": 1}, "b": {"$bogus": 1}})", R"({"a": 1, "b": 1})",
       "Unsupported operator: $bogus"},
      {R"({"$and": [[{"x": 1}]]})", R"({"x": 1})", "cannot use key() for non-object iterators"},
  };
  for (const auto& c : kCases) {
    const std::string message = EvalError(json::parse(c.filter), json::parse(c.document));
    EXPECT_TRUE(EndsWith(message, c.tail)) << c.filter << ": " << message;
  }
  EXPECT_EQ(EvalError(json::parse(R"({"a": {"$eq": 1}, "b": {"$bogus": 1}})"),
                      json::parse(R"({"a": 2, "b": 1})")),
            "");
  // A bad pattern is reported as written, even one that the matcher's
  // wrapping group would make valid.
  for (const std::string pattern : {"(", "a)|(?:b"}) {
    EXPECT_EQ(EvalError(json{{"n", {{"$regex", pattern}}}}, json{{"n", "x"}})
                  .rfind("Invalid regex pattern: " + pattern + "\nError: ", 0),
              0u)
        << pattern;
  }
}

TEST(FilterEval, RegexWorkAndStackAreBounded) {
  // Exponential for a backtracking matcher; linear here.
  const std::string as(100000, 'a');
  EXPECT_FALSE(EvaluateOperator("$regex", json(as + "b"), json("(a+)+$")));
  EXPECT_TRUE(EvaluateOperator("$regex", json(as), json("(a+)+$")));
  EXPECT_FALSE(EvaluateOperator("$regex", json(as), json("(a|aa)*c")));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "the quick brown fox 0123 ";
  EXPECT_TRUE(EvaluateOperator("$regex", json(text + "zz"), json("(\\w+\\s){3}zz")));
  // Quadratic lookahead runs out of budget.
  EXPECT_EQ(EvalError(json::parse(R"j({"s": {"$regex": "(?=.*z)"}})j"),
                      json{{"s", std::string(20000, 'b')}}),
            "Regex pattern too costly to evaluate: (?=.*z)");
  // Back-references would need the backtracking matcher, whose recursion
  // overflowed an 8 MB stack with this pattern on a 1 KB subject.
  const std::string backref = "(?:" + std::string(50, '(') + "o" + std::string(50, ')') + ")*\\1z";
  for (const std::string& pattern : {std::string("(o)\\1"), backref}) {
    EXPECT_EQ(EvalError(json{{"s", {{"$regex", pattern}}}}, json{{"s", std::string(1024, 'o')}}),
              "Invalid regex pattern: " + pattern + "\nError: Back-references are not supported.");
  }
  // The pattern compiler recurses per character; long patterns are refused.
  const std::string nested = std::string(20000, '(') + std::string(20000, ')');
  EXPECT_TRUE(EndsWith(EvalError(json{{"s", {{"$regex", nested}}}}, json{{"s", "x"}}),
                       "\nError: Pattern is longer than 4096 bytes."));
  const std::string deep = std::string(1000, '(') + "x" + std::string(1000, ')');
  EXPECT_TRUE(EvaluateOperator("$regex", json("x"), json(deep)));
}

// The work of a query's searches is bounded as a whole, lookaheads and
// capture copies included: each pattern below costs the matcher far more per
// value than its reads, and one value fits the shared base while a
// thousand do not.
TEST(FilterItems, RegexWorkIsBoundedOverTheWholeQuery) {
  std::string lookaheads;
  std::string groups;
  for (int i = 0; i < 100; ++i) lookaheads += "(?=a)";
  for (int i = 0; i < 40; ++i) groups += "(a)?";
  for (const std::string& pattern : {lookaheads, groups}) {
    const json filter = {{"s", {{"$regex", pattern}}}};
    const json value = {{"s", std::string(30, 'a')}};
    EXPECT_EQ(FilterItems({value}, filter, true), std::vector<uint32_t>{0});
    EXPECT_EQ(testing::error_text<std::invalid_argument>([&] { FilterItems(std::vector<json>(1000, value), filter, true); }),
              "Regex pattern too costly to evaluate: " + pattern);
  }
  // The longest such pattern is refused on a single value.
  std::string longest;
  for (int i = 0; i < 800; ++i) longest += "(?=a)";
  EXPECT_EQ(EvalError(json{{"s", {{"$regex", longest}}}}, json{{"s", std::string(30, 'a')}}),
            "Regex pattern too costly to evaluate: " + longest);
}

TEST(FilterItems, ReportsTheFirstFailingDocument) {
  // Documents holding "a" or "b" fail with different errors.
  const json filter =
      json::parse(R"({"$or": [{"a": {"$regex": "("}}, {"b": {"$regex": "[z-a]"}}]})");
  for (size_t n : {size_t{40}, size_t{5000}}) {  // sequential and parallel
    for (const char* first : {"a", "b"}) {
      std::vector<json> docs(n, json{{"x", 1}});
      docs[n / 4 + 3] = json{{first, "s"}};
      docs[n - 2] = json{{first[0] == 'a' ? "b" : "a", "s"}};
      try {
        FilterItems(docs, filter, true);
        ADD_FAILURE() << "no error";
      } catch (const std::invalid_argument& e) {
        const std::string expected = first[0] == 'a' ? "(\n" : "[z-a]\n";
        EXPECT_EQ(std::string(e.what()).rfind("Invalid regex pattern: " + expected, 0), 0u)
            << n << " " << e.what();
      }
    }
  }
  // Validation is optional: an unvalidated two-entry filter means both.
  const std::vector<json> docs = ParseMetadataBatch({R"({"n": 1})", "", R"({"n": 5})"});
  const json two = json::parse(R"({"n": {"$gte": 2}, "m": {"$exists": false}})");
  EXPECT_THROW(FilterItems(docs, two, true), std::invalid_argument);
  EXPECT_EQ(FilterItems(docs, two, false), (std::vector<uint32_t>{2}));
}

// What Python's json.dumps writes but the parser refuses, and other texts it
// refuses: upserts turn them away, and any already stored match no filter,
// whatever the filter asks, on the sequential and the parallel path.
TEST(ParseMetadataBatch, UnreadableTextsAreRefusedAtUpsertAndMatchNoFilter) {
  EXPECT_EQ(ParseMetadataBatch({R"({"a": 1})", "", "[1, 2]", "null"}),
            (std::vector<json>{json{{"a", 1}}, json::object(), json::array({1, 2}), json()}));
  const std::string deep = std::string(514, '[') + std::string(514, ']');
  const std::vector<std::string> unreadable = {
      R"({"a": NaN})", R"({"a": Infinity})", R"({"a": -Infinity})", R"({"a": "\ud800"})",
      R"({"a": "\udc00x"})", R"({"a": 1e400})", "{\"a\": " + std::string(400, '7') + "}",
      "{} // x", "[1,", "{\"a\": tru}"};
  const std::vector<json> filters = {
      json::parse(R"({"a": {"$exists": false}})"), json::parse(R"({"$nor": [{"b": {"$eq": 1}}]})"),
      json::parse(R"({"$or": [{"a": {"$ne": 1}}, {"z": {"$exists": false}}]})")};
  for (size_t n : {size_t{24}, size_t{3000}}) {
    std::vector<std::string> texts(n, R"({"k": true})");
    texts[1] = "";
    EXPECT_EQ(FirstUnstorableMetadata(texts), std::nullopt);
    // Exactly as deep as the centroid summaries take is accepted.
    texts[2] = std::string(511, '[') + "1" + std::string(511, ']');
    EXPECT_EQ(FirstUnstorableMetadata(texts), std::nullopt);
    texts[n - 1] = deep;
    EXPECT_EQ(FirstUnstorableMetadata(texts), n - 1);
    for (size_t u = 0; u < unreadable.size(); ++u) texts[n / 2 + u] = unreadable[u];
    EXPECT_EQ(FirstUnstorableMetadata(texts), n / 2);
    for (const std::string& text : unreadable) {
      EXPECT_TRUE(FirstUnstorableMetadata({"", text}).has_value()) << text;
    }
    const std::vector<json> documents = ParseMetadataBatch(texts);
    // Every readable document satisfies these filters; no unreadable one does.
    for (const json& filter : filters) {
      const std::vector<uint32_t> matches = FilterItems(documents, filter, true);
      EXPECT_EQ(matches.size(), n - unreadable.size()) << filter;
      for (uint32_t i : matches) {
        EXPECT_FALSE(documents[i].is_discarded()) << texts[i] << " matched " << filter;
      }
    }
  }
}

}  // namespace
}  // namespace tavrin
