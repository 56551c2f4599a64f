// The $regex matcher: an ECMAScript pattern searched for anywhere in a string.
//
// Patterns compile with std::regex (ECMAScript, default options), so compile
// errors carry that library's messages, reported as std::invalid_argument
// "Invalid regex pattern: " + pattern + "\nError: " + message.
//
// Matching is bounded so that no pattern can hang or crash the process:
//  - A match is one anchored pass of "[\s\S]*(?:pattern)" rather than a
//    search restarted at every position, which would cost the square of the
//    subject length.
//  - Assertions see the whole subject. libstdc++ runs a lookahead as a sub-match
//    that starts where the lookahead stands, so inside it ^, \b and \B would
//    take that position for the start of the subject. Patterns with a
//    lookahead therefore also compile in multiline mode with a locale in which
//    only a marker byte (0xFF, never part of UTF-8 text) is a line terminator;
//    the search runs with match_prev_avail on a view of the subject preceded
//    by that marker. Then ^ holds exactly after the marker (the real start),
//    \b and \B read the real previous character everywhere, and $ and . are
//    unchanged. A subject that itself holds byte 0xFF (not UTF-8, so never
//    read from JSON text) is searched the plain way, where assertions at the
//    very start of a lookahead see that position as the start.
//  - Patterns without back-references run on libstdc++'s breadth-first
//    (Thompson-style) matcher: work grows linearly with the subject for a
//    fixed pattern, including the exponential cases of backtracking such as
//    (a+)+$. Lookahead assertions are allowed (each costs up to one pass).
//  - Back-references need libstdc++'s backtracking matcher, whose recursion
//    depth grows with pattern size times subject length: a pattern of about
//    a hundred bytes overflows an 8 MB stack on a 1 KB subject. Patterns with
//    back-references are therefore refused as invalid, with the message
//    "Back-references are not supported.".
//  - Work is counted in character steps (a few tens of nanoseconds each):
//    every read and move of the subject, every per-state entry the matcher
//    sets up when it starts (and it starts again for every lookahead it
//    tries), and every capture slot it copies. A search may spend
//    kRegexStepsPerByte steps per byte of its subject plus
//    kRegexBytesPerSearch bytes' worth; beyond that it draws on a
//    RegexBudget of kRegexBaseSteps shared by every search of one filter
//    evaluation, so a whole query costs at most a fixed multiple of the
//    text it reads, plus that base. A search that finds the budget empty
//    throws std::invalid_argument
//    "Regex pattern too costly to evaluate: " + pattern.
//  - The library's pattern compiler recurses once per character and group, so
//    patterns longer than kRegexPatternLimit bytes are refused as invalid, with
//    the message "Pattern is longer than 4096 bytes.".
// A compiled FilterRegex is immutable; Search may run on many threads at once.
#ifndef TAVRIN_FILTER_FILTER_REGEX_H_
#define TAVRIN_FILTER_FILTER_REGEX_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <string_view>

namespace tavrin {

inline constexpr size_t kRegexPatternLimit = 4096;
inline constexpr int64_t kRegexBaseSteps = 4'000'000;
inline constexpr int64_t kRegexStepsPerByte = 1024;
inline constexpr int64_t kRegexBytesPerSearch = 16;

// Steps shared by the searches of one evaluation; safe to use from many
// threads at once.
class RegexBudget {
 public:
  explicit RegexBudget(int64_t steps = kRegexBaseSteps) : steps_(steps) {}
  RegexBudget(const RegexBudget&) = delete;
  RegexBudget& operator=(const RegexBudget&) = delete;

  // Takes up to want steps; returns how many were taken (0 when empty).
  int64_t Take(int64_t want);
  void Give(int64_t steps);

 private:
  std::atomic<int64_t> steps_;
};

class FilterRegex {
 public:
  // Throws std::invalid_argument("Invalid regex pattern: ...") on a bad pattern.
  explicit FilterRegex(const std::string& pattern);

  // True when the pattern is found somewhere in subject. Work beyond the
  // subject's own allowance comes from shared, or from a fresh budget of
  // kRegexBaseSteps when shared is null.
  bool Search(std::string_view subject, RegexBudget* shared = nullptr) const;

  const std::string& pattern() const { return pattern_; }

 private:
  std::string pattern_;
  std::regex regex_;
  // Compiled only for patterns with a lookahead (see above).
  bool has_marked_ = false;
  std::regex marked_;
};

}  // namespace tavrin

#endif  // TAVRIN_FILTER_FILTER_REGEX_H_
