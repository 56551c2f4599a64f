#include "filter/filter_regex.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <locale>
#include <stdexcept>
#include <type_traits>

#if !defined(__GLIBCXX__)
#error "FilterRegex relies on libstdc++'s breadth-first regex matcher."
#endif

namespace tavrin {
namespace {

struct BudgetExhausted {};

// The byte that stands before the subject when a search needs to see a real
// start of input (see filter_regex.h). It never occurs in UTF-8 text.
constexpr char kStartMarker = '\xFF';

// The matcher steps back only to test an assertion (\b, \B, or ^ in the
// marked form), and each such test looks a character class up in the locale:
// far more work than a read.
constexpr int64_t kBackStepCost = 64;

// Steps drawn from a shared budget at a time, so that threads searching at
// once rarely touch the shared counter.
constexpr int64_t kRegexDrawSteps = 4096;

// The spending side of one search: its own allowance first, then what it
// draws from the shared budget. Lives on the stack of Search.
class SearchSpend {
 public:
  SearchSpend(int64_t allowance, RegexBudget* shared) : left_(allowance), shared_(shared) {}

  void Charge(int64_t steps) {
    left_ -= steps;
    if (left_ < 0) Draw();
  }

  // Hands back to the shared budget what was drawn and not spent.
  void Settle() {
    const int64_t unused = std::min(left_, drawn_);
    if (unused > 0) shared_->Give(unused);
    drawn_ = 0;
  }

 private:
  void Draw() {
    const int64_t taken = shared_->Take(std::max(-left_, kRegexDrawSteps));
    drawn_ += taken;
    left_ += taken;
    if (left_ < 0) throw BudgetExhausted{};
  }

  int64_t left_;
  int64_t drawn_ = 0;
  RegexBudget* shared_;
};

// The search running on this thread. The matcher builds per-state tables of
// default-constructed iterators and copies its capture vectors through
// default-constructed allocators, neither of which can be handed the budget,
// so both find it here.
thread_local SearchSpend* current_spend = nullptr;

class CurrentSpend {
 public:
  explicit CurrentSpend(SearchSpend* spend) : previous_(current_spend) { current_spend = spend; }
  ~CurrentSpend() { current_spend = previous_; }
  CurrentSpend(const CurrentSpend&) = delete;
  CurrentSpend& operator=(const CurrentSpend&) = delete;

 private:
  SearchSpend* previous_;
};

// A character iterator over a subject that charges one step for every read
// and forward move, more for a move back (kBackStepCost), and one for every
// default construction: the matcher makes one iterator per automaton state
// each time it starts, also for every lookahead it tries, and that table is
// the work a long pattern costs beyond its reads. Copies spend for the same
// search. Position -1 reads as kStartMarker; the matcher only steps there to
// read the character before the subject under match_prev_avail.
class StepIterator {
 public:
  using iterator_category = std::bidirectional_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  StepIterator() : spend_(current_spend) {
    if (spend_ != nullptr) spend_->Charge(1);
  }
  StepIterator(const char* base, std::ptrdiff_t pos, SearchSpend* spend)
      : base_(base), pos_(pos), spend_(spend) {}

  reference operator*() const {
    spend_->Charge(1);
    return pos_ < 0 ? kStartMarker : base_[pos_];
  }
  pointer operator->() const { return &**this; }
  StepIterator& operator++() {
    spend_->Charge(1);
    ++pos_;
    return *this;
  }
  StepIterator operator++(int) {
    StepIterator old = *this;
    ++*this;
    return old;
  }
  StepIterator& operator--() {
    spend_->Charge(kBackStepCost);
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
  const char* base_ = nullptr;
  std::ptrdiff_t pos_ = 0;
  SearchSpend* spend_ = nullptr;
};

// The allocator of the matcher's capture vectors: it copies one such vector
// per live state per character and one per lookahead, so an allocation
// charges for its length, at sixteen steps an element (a capture is a few
// words to copy), plus the allocation itself. The matcher
// default-constructs the allocators it copies with, hence current_spend.
template <typename T>
class StepAllocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  StepAllocator() noexcept : spend_(current_spend) {}
  template <typename U>
  StepAllocator(const StepAllocator<U>& other) noexcept : spend_(other.spend()) {}

  T* allocate(size_t n) {
    if (spend_ != nullptr) spend_->Charge(16 * static_cast<int64_t>(n) + 16);
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }

  SearchSpend* spend() const noexcept { return spend_; }
  template <typename U>
  bool operator==(const StepAllocator<U>&) const noexcept {
    return true;  // memory comes from one heap whatever the budget
  }
  template <typename U>
  bool operator!=(const StepAllocator<U>&) const noexcept {
    return false;
  }

 private:
  SearchSpend* spend_;
};

using StepMatch = std::match_results<StepIterator, StepAllocator<std::sub_match<StepIterator>>>;

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

int64_t RegexBudget::Take(int64_t want) {
  int64_t have = steps_.load(std::memory_order_relaxed);
  while (have > 0) {
    const int64_t take = std::min(have, want);
    if (steps_.compare_exchange_weak(have, have - take, std::memory_order_relaxed)) return take;
  }
  return 0;
}

void RegexBudget::Give(int64_t steps) { steps_.fetch_add(steps, std::memory_order_relaxed); }

bool FilterRegex::Search(std::string_view subject, RegexBudget* shared) const {
  RegexBudget own;
  SearchSpend spend(
      kRegexStepsPerByte * (static_cast<int64_t>(subject.size()) + kRegexBytesPerSearch),
      shared != nullptr ? shared : &own);
  const CurrentSpend current(&spend);
  const auto size = static_cast<std::ptrdiff_t>(subject.size());
  const StepIterator first(subject.data(), 0, &spend);
  const StepIterator last(subject.data(), size, &spend);
  const bool marked = has_marked_ && (subject.empty() || std::memchr(subject.data(), kStartMarker,
                                                                     subject.size()) == nullptr);
  try {
    StepMatch match;
    bool found = false;
    if (marked) {
      found = std::regex_search(
          first, last, match, marked_,
          std::regex_constants::match_continuous | std::regex_constants::match_prev_avail);
    } else {
      found = std::regex_search(first, last, match, regex_, std::regex_constants::match_continuous);
    }
    spend.Settle();
    return found;
  } catch (const BudgetExhausted&) {
    throw std::invalid_argument("Regex pattern too costly to evaluate: " + pattern_);
  }
}

}  // namespace tavrin
