// $regex search semantics: assertions (^, $, \b, \B) must see the whole
// subject, also at the start of a lookahead, while the search stays one
// linear pass. Checked against the set-based reference of regex_reference.h
// on random patterns, and case by case for what its generator never writes.
#include "filter/filter_regex.h"

#include <gtest/gtest.h>

#include <string>

#include "regex_reference.h"

namespace tavrin {
namespace {

using ::tavrin::testing::RegexGenerator;
using ::tavrin::testing::RegexReference;
using ::tavrin::testing::RenderRegex;

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

// Characters and classes outside the generator's alphabet are untouched by
// the start marker; a subject holding the marker byte itself (not UTF-8) is
// searched the plain way, where $ is only its end; a long subject is still
// one pass within the work budget.
TEST(FilterRegex, ClassesMarkerByteAndLongSubjects) {
  const struct {
    const char* pattern;
    std::string subject;
    bool found;
  } cases[] = {
      {"a.b", "a\rb", false},
      {"a\\sb", "a\nb", true},
      {"(?=[^x]b)", "\nb", true},
      {"(?=\\xFF)", "a", false},
      {"a(?=b)", "\xFF" "ab", true},
      {"\\xFF(?=a)", "\xFF" "ab", true},
      {"a(?=c)", "\xFF" "ab", false},
      {"a(?=$)", "a\xFF" "b", false},
      {"(?=\\bb)", std::string(200000, 'a') + " b", true},
      {"(?=^b)", std::string(200000, 'a') + " b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FilterRegex(c.pattern).Search(c.subject), c.found)
        << c.pattern << " on \"" << c.subject.substr(0, 10) << "\"";
  }
}

}  // namespace
}  // namespace tavrin
