// $regex search semantics: assertions (^, $, \b, \B) must see the whole
// subject, also at the start of a lookahead, while the search stays one
// linear pass. Checked case by case and against the set-based reference of
// regex_reference.h on random patterns.
#include "filter/filter_regex.h"

#include <gtest/gtest.h>

#include <string>

#include "regex_reference.h"

namespace tavrin {
namespace {

using ::tavrin::testing::RegexGenerator;
using ::tavrin::testing::RegexReference;
using ::tavrin::testing::RenderRegex;

struct SearchCase {
  const char* pattern;
  std::string subject;
  bool found;
};

TEST(FilterRegex, AssertionsInsideAndOutsideLookaheads) {
  const SearchCase cases[] = {
      // ^ outside, in a lookahead, in a negative lookahead.
      {"^a", "ab", true},
      {"^a", "ba", false},
      {"(?=^a)", "ab", true},
      {"(?=^a)", "ba", false},
      {"b(?=^)", "ba", false},
      {"(?!^)a", "a", false},
      {"(?!^)a", "ba", true},
      // \b outside and in lookaheads, at the subject start and inside it.
      {"\\ba", "ba", false},
      {"\\ba", "b a", true},
      {"a(?=\\bb)", "cab", false},
      {"a(?=\\bb)", "ab", false},
      {"(?=\\bb)", "a b", true},
      {"(?=\\ba)", "a", true},
      {"(?!\\b)b", "ab", true},
      {"(?!\\b)b", "b", false},
      // \B likewise.
      {"\\Bb", "ab", true},
      {"\\Bb", "b", false},
      {"a(?=\\Bb)", "ab", true},
      {"(?=\\Bb)", "a b", false},
      {"(?=\\Bb)", "b", false},
      {"(?!\\B)b", "ab", false},
      {"(?!\\B)b", " b", true},
      // $ and line terminators: not multiline, so a newline is no line end.
      {"a$", "a\n", false},
      {"a(?=$)", "a\n", false},
      {"a(?=$)", "ba", true},
      {"^b", "a\nb", false},
      {"(?=^b)", "a\nb", false},
      {"(?=a\\n^b)", "a\nb", false},
      // Characters and classes are untouched by the start marker.
      {"a.b", "a\nb", false},
      {"a.b", "a\rb", false},
      {"a\\sb", "a\nb", true},
      {"(?=[^x]b)", "\nb", true},
      {"(?=\\n)", "\n", true},
      {"(?=\\xFF)", "a", false},
      // Empty subject.
      {"(?=^$)", "", true},
      {"(?=\\B)", "", true},
      {"(?=\\b)", "", false},
  };
  for (const SearchCase& c : cases) {
    EXPECT_EQ(FilterRegex(c.pattern).Search(c.subject), c.found)
        << c.pattern << " on \"" << c.subject << "\"";
  }
}

TEST(FilterRegex, AgreesWithReferenceOnRandomPatterns) {
  RegexGenerator gen(424242);
  int found = 0;
  int mismatches = 0;
  for (int round = 0; round < 3000; ++round) {
    const auto tree = gen.Pattern(3);
    const std::string pattern = RenderRegex(tree);
    const FilterRegex regex(pattern);
    for (int s = 0; s < 8; ++s) {
      const std::string subject = gen.Subject();
      const bool expected = RegexReference(subject).Search(tree);
      found += expected;
      if (regex.Search(subject) != expected && ++mismatches <= 10) {
        ADD_FAILURE() << "pattern " << pattern << " subject \"" << subject << "\" expected "
                      << expected;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(found, 3000);
  EXPECT_LT(found, 21000);
}

// Lookahead patterns take the marked path; a long subject must still be one
// pass within the work budget, and a subject holding the marker byte itself
// (not UTF-8) still matches ordinary lookaheads.
TEST(FilterRegex, MarkedSearchStaysLinearAndHandlesMarkerByte) {
  const std::string long_subject = std::string(200000, 'a') + " b";
  EXPECT_TRUE(FilterRegex("(?=\\bb)").Search(long_subject));
  EXPECT_FALSE(FilterRegex("(?=^b)").Search(long_subject));
  EXPECT_TRUE(FilterRegex("a(?=b)").Search(std::string("\xFF") + "ab"));
  EXPECT_TRUE(FilterRegex("\\xFF(?=a)").Search(std::string("\xFF") + "ab"));
  EXPECT_FALSE(FilterRegex("a(?=c)").Search(std::string("\xFF") + "ab"));
}

}  // namespace
}  // namespace tavrin
