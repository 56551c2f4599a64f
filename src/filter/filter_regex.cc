#include "filter/filter_regex.h"

#include <cstring>
#include <iterator>
#include <locale>
#include <stdexcept>

#if !defined(__GLIBCXX__)
#error "FilterRegex relies on libstdc++'s breadth-first regex matcher."
#endif

namespace tavrin {
namespace {

struct BudgetExhausted {};

// The byte that stands before the subject when a search needs to see a real
// start of input (see filter_regex.h). It never occurs in UTF-8 text.
constexpr char kStartMarker = '\xFF';

// A character iterator over a subject that charges one step for every move and
// every read. The regex matchers do all their work through their iterators,
// so the total charge bounds their running time. Copies share one budget.
// Position -1 reads as kStartMarker; the matcher only steps there to read the
// character before the subject under match_prev_avail.
class StepIterator {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  StepIterator() = default;
  StepIterator(const char* base, std::ptrdiff_t pos, int64_t* budget)
      : base_(base), pos_(pos), budget_(budget) {}

  reference operator*() const {
    Charge();
    return pos_ < 0 ? kStartMarker : base_[pos_];
  }
  pointer operator->() const { return &**this; }
  StepIterator& operator++() {
    Charge();
    ++pos_;
    return *this;
  }
  StepIterator operator++(int) {
    StepIterator old = *this;
    ++*this;
    return old;
  }
  StepIterator& operator--() {
    Charge();
    --pos_;
    return *this;
  }
  StepIterator operator--(int) {
    StepIterator old = *this;
    --*this;
    return old;
  }
  friend bool operator==(const StepIterator& a, const StepIterator& b) { return a.pos_ == b.pos_; }
  friend bool operator!=(const StepIterator& a, const StepIterator& b) { return a.pos_ != b.pos_; }

 private:
  void Charge() const {
    if (--*budget_ < 0) throw BudgetExhausted{};
  }

  const char* base_ = nullptr;
  std::ptrdiff_t pos_ = 0;
  int64_t* budget_ = nullptr;
};

// The classic character classes, except that only kStartMarker narrows to a
// line terminator: in multiline mode ^ then holds only after the marker and $
// only at the end, while "." and "\s" still see real '\n' and '\r' (they do
// not go through narrow).
class StartMarkerCtype : public std::ctype<char> {
 public:
  StartMarkerCtype() : std::ctype<char>(nullptr, false, 0) {
    // Fill the facet's narrow cache now, so that concurrent searches only
    // read it.
    for (int c = 1; c < 256; ++c) narrow(static_cast<char>(c), '\0');
  }

 protected:
  char do_narrow(char c, char dfault) const override {
    if (c == kStartMarker) return '\n';
    // Any character that means nothing to the pattern syntax.
    if (c == '\n' || c == '\r') return '\x01';
    return std::ctype<char>::do_narrow(c, dfault);
  }
  const char* do_narrow(const char* lo, const char* hi, char dfault, char* to) const override {
    for (; lo < hi; ++lo, ++to) *to = do_narrow(*lo, dfault);
    return hi;
  }
};

const std::locale& StartMarkerLocale() {
  static const std::locale* locale =
      new std::locale(std::locale::classic(), new StartMarkerCtype);
  return *locale;
}

// Whether the pattern may hold a lookahead: "(?=" or "(?!" appear in every
// one. A false positive only costs the second compiled form.
bool MayHaveLookahead(const std::string& pattern) {
  return pattern.find("(?=") != std::string::npos || pattern.find("(?!") != std::string::npos;
}

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
  constexpr auto kFlags = std::regex::ECMAScript | std::regex_constants::__polynomial;
  try {
    regex_ = std::regex(anchored, kFlags);
    if (MayHaveLookahead(pattern)) {
      marked_.imbue(StartMarkerLocale());
      marked_.assign(anchored, kFlags | std::regex::multiline);
      has_marked_ = true;
    }
  } catch (const std::regex_error& e) {
    ThrowInvalidPattern(pattern, e.code() == std::regex_constants::error_complexity
                                     ? "Back-references are not supported."
                                     : e.what());
  }
}

bool FilterRegex::Search(std::string_view subject) const {
  int64_t budget = kRegexBaseSteps + kRegexStepsPerByte * static_cast<int64_t>(subject.size());
  const auto size = static_cast<std::ptrdiff_t>(subject.size());
  const StepIterator first(subject.data(), 0, &budget);
  const StepIterator last(subject.data(), size, &budget);
  const bool marked = has_marked_ && (subject.empty() || std::memchr(subject.data(), kStartMarker,
                                                                     subject.size()) == nullptr);
  try {
    if (marked) {
      return std::regex_search(
          first, last, marked_,
          std::regex_constants::match_continuous | std::regex_constants::match_prev_avail);
    }
    return std::regex_search(first, last, regex_, std::regex_constants::match_continuous);
  } catch (const BudgetExhausted&) {
    throw std::invalid_argument("Regex pattern too costly to evaluate: " + pattern_);
  }
}

}  // namespace tavrin
