#include "filter/filter_regex.h"

#include <iterator>
#include <stdexcept>

#if !defined(__GLIBCXX__)
#error "FilterRegex relies on libstdc++'s breadth-first regex matcher."
#endif

namespace tavrin {
namespace {

struct BudgetExhausted {};

// A character iterator that charges one step for every move and every read.
// The regex matchers do all their work through their iterators, so the total
// charge bounds their running time. Copies share one budget.
class StepIterator {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  StepIterator() = default;
  StepIterator(const char* p, int64_t* budget) : p_(p), budget_(budget) {}

  reference operator*() const {
    Charge();
    return *p_;
  }
  pointer operator->() const { return p_; }
  StepIterator& operator++() {
    Charge();
    ++p_;
    return *this;
  }
  StepIterator operator++(int) {
    StepIterator old = *this;
    ++*this;
    return old;
  }
  StepIterator& operator--() {
    Charge();
    --p_;
    return *this;
  }
  StepIterator operator--(int) {
    StepIterator old = *this;
    --*this;
    return old;
  }
  friend bool operator==(const StepIterator& a, const StepIterator& b) { return a.p_ == b.p_; }
  friend bool operator!=(const StepIterator& a, const StepIterator& b) { return a.p_ != b.p_; }

 private:
  void Charge() const {
    if (--*budget_ < 0) throw BudgetExhausted{};
  }

  const char* p_ = nullptr;
  int64_t* budget_ = nullptr;
};

[[noreturn]] void ThrowInvalidPattern(const std::string& pattern, const char* reason) {
  throw std::invalid_argument("Invalid regex pattern: " + pattern + "\nError: " + reason);
}

}  // namespace

FilterRegex::FilterRegex(const std::string& pattern) : pattern_(pattern) {
  if (pattern.size() > kRegexPatternLimit) {
    const std::string reason =
        "Pattern is longer than " + std::to_string(kRegexPatternLimit) + " bytes.";
    ThrowInvalidPattern(pattern, reason.c_str());
  }
  // Validate the pattern as written, so a bad one reports the library's
  // message for exactly that text.
  try {
    std::regex check(pattern, std::regex::ECMAScript);
  } catch (const std::regex_error& e) {
    ThrowInvalidPattern(pattern, e.what());
  }
  // Searching from every start position costs the square of the subject
  // length; one anchored pass with a leading any-character loop finds the same
  // matches.
  const std::string anchored = "[\\s\\S]*(?:" + pattern + ")";
  // libstdc++ runs __polynomial patterns on its breadth-first matcher, whose
  // stack use does not grow with the subject; it refuses exactly the patterns
  // with back-references, which only the unbounded backtracking matcher runs.
  try {
    regex_ = std::regex(anchored, std::regex::ECMAScript | std::regex_constants::__polynomial);
  } catch (const std::regex_error& e) {
    ThrowInvalidPattern(pattern, e.code() == std::regex_constants::error_complexity
                                     ? "Back-references are not supported."
                                     : e.what());
  }
}

bool FilterRegex::Search(std::string_view subject) const {
  int64_t budget = kRegexBaseSteps + kRegexStepsPerByte * static_cast<int64_t>(subject.size());
  const StepIterator first(subject.data(), &budget);
  const StepIterator last(subject.data() + subject.size(), &budget);
  try {
    return std::regex_search(first, last, regex_, std::regex_constants::match_continuous);
  } catch (const BudgetExhausted&) {
    throw std::invalid_argument("Regex pattern too costly to evaluate: " + pattern_);
  }
}

}  // namespace tavrin
