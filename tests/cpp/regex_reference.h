// A reference for ECMAScript pattern search over a small grammar: literals,
// ".", "^", "$", "\b", "\B", groups, alternation, "*", "+", "?" and
// lookaheads. Matching is by sets of end positions, written from the
// language's definition of each assertion (input start and end, word
// characters [A-Za-z0-9_], "." refusing only '\n' and '\r'); it shares
// nothing with std::regex, so it can judge what the library gets wrong.
#ifndef TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_
#define TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tavrin::testing {

struct RegexNode {
  // The order of the kinds is the generator's and RenderRegex's.
  enum Kind { kChar, kDot, kStart, kEnd, kWordBoundary, kNotWordBoundary, kConcat, kAlt, kStar,
              kPlus, kOptional, kAhead, kNotAhead };
  Kind kind = kChar;
  char c = 'a';
  std::vector<std::shared_ptr<RegexNode>> parts;
};
using RegexTree = std::shared_ptr<RegexNode>;

inline std::string RenderRegex(const RegexTree& n) {
  static const char* const kAtoms[] = {"", ".", "^", "$", "\\b", "\\B"};
  std::string inner;
  for (size_t i = 0; i < n->parts.size(); ++i) {
    inner += (i > 0 && n->kind == RegexNode::kAlt ? "|" : "") + RenderRegex(n->parts[i]);
  }
  switch (n->kind) {
    case RegexNode::kChar:
      return n->c == '\n' ? "\\n" : std::string(1, n->c);
    case RegexNode::kConcat:
      return inner;
    case RegexNode::kAlt:
    case RegexNode::kOptional:
    case RegexNode::kStar:
    case RegexNode::kPlus:
      return "(?:" + inner + ")" + (n->kind == RegexNode::kStar       ? "*"
                                    : n->kind == RegexNode::kPlus     ? "+"
                                    : n->kind == RegexNode::kOptional ? "?"
                                                                      : "");
    case RegexNode::kAhead:
      return "(?=" + inner + ")";
    case RegexNode::kNotAhead:
      return "(?!" + inner + ")";
    default:
      return kAtoms[n->kind];
  }
}

// Subjects are short (under 32 bytes): a set of positions is a bit mask.
class RegexReference {
 public:
  explicit RegexReference(std::string s) : s_(std::move(s)) {}

  // Whether the pattern matches starting at some position.
  bool Search(const RegexTree& n) const {
    for (size_t p = 0; p <= s_.size(); ++p) {
      if (Ends(n, p) != 0) return true;
    }
    return false;
  }

 private:
  bool IsWord(size_t i) const {  // i is one past the character
    if (i == 0 || i > s_.size()) return false;
    const char c = s_[i - 1];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  // The ends of matches of part starting at any position of from.
  uint32_t EndsFrom(const RegexTree& part, uint32_t from) const {
    uint32_t out = 0;
    for (size_t q = 0; q <= s_.size(); ++q) {
      if (from >> q & 1) out |= Ends(part, q);
    }
    return out;
  }

  // Positions where a match of n that starts at p can end.
  uint32_t Ends(const RegexTree& n, size_t p) const {
    const uint32_t here = 1u << p;
    switch (n->kind) {
      case RegexNode::kChar:
        return p < s_.size() && s_[p] == n->c ? here << 1 : 0;
      case RegexNode::kDot:
        return p < s_.size() && s_[p] != '\n' && s_[p] != '\r' ? here << 1 : 0;
      case RegexNode::kStart:
        return p == 0 ? here : 0;
      case RegexNode::kEnd:
        return p == s_.size() ? here : 0;
      case RegexNode::kWordBoundary:
        return IsWord(p) != IsWord(p + 1) ? here : 0;
      case RegexNode::kNotWordBoundary:
        return IsWord(p) == IsWord(p + 1) ? here : 0;
      case RegexNode::kAhead:
        return Ends(n->parts[0], p) != 0 ? here : 0;
      case RegexNode::kNotAhead:
        return Ends(n->parts[0], p) == 0 ? here : 0;
      case RegexNode::kConcat: {
        uint32_t at = here;
        for (const auto& part : n->parts) at = EndsFrom(part, at);
        return at;
      }
      case RegexNode::kAlt:
        return Ends(n->parts[0], p) | Ends(n->parts[1], p);
      default: {
        // Zero or more (one or more, at most one) repetitions; repeating an
        // empty match adds no end position, so the closure is the answer.
        uint32_t at = Ends(n->parts[0], p);
        for (uint32_t frontier = at; n->kind != RegexNode::kOptional && frontier != 0;) {
          frontier = EndsFrom(n->parts[0], frontier) & ~at;
          at |= frontier;
        }
        return n->kind == RegexNode::kPlus ? at : at | here;
      }
    }
  }

  std::string s_;
};

// Random patterns of the grammar above over the characters "ab _\n", with
// assertions inside and outside lookaheads.
class RegexGenerator {
 public:
  explicit RegexGenerator(uint32_t seed) : rng_(seed) {}

  RegexTree Pattern(int depth) {
    auto node = std::make_shared<RegexNode>();
    const int kind = depth > 0 ? Pick(13) : Pick(6);
    if (kind <= 1) {
      node->c = "ab _\n"[Pick(5)];
    } else if (kind <= 4) {
      node->kind = static_cast<RegexNode::Kind>(kind - 1);  // ".", "^", "$"
    } else if (kind == 5) {
      node->kind = Pick(2) == 0 ? RegexNode::kWordBoundary : RegexNode::kNotWordBoundary;
    } else if (kind <= 7) {
      node->kind = RegexNode::kConcat;
      for (int n = 2 + Pick(2); n > 0; --n) node->parts.push_back(Pattern(depth - 1));
    } else if (kind == 8) {
      node->kind = RegexNode::kAlt;
      node->parts = {Pattern(depth - 1), Pattern(depth - 1)};
    } else {
      node->kind = kind == 9 ? static_cast<RegexNode::Kind>(RegexNode::kStar + Pick(3))
                   : Pick(2) == 0 ? RegexNode::kAhead
                                  : RegexNode::kNotAhead;
      node->parts = {Pattern(depth - 1)};
    }
    return node;
  }

  std::string Subject() {
    std::string s;
    for (int n = Pick(7); n > 0; --n) s += "ab _\n"[Pick(5)];
    return s;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::mt19937 rng_;
};

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_
