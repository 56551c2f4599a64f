// A reference for ECMAScript pattern search over a small grammar: literals,
// ".", "^", "$", "\b", "\B", groups, alternation, "*", "+", "?" and
// lookaheads. Matching is by sets of end positions, written from the
// language's definition of each assertion (input start and end, word
// characters [A-Za-z0-9_], "." refusing only '\n' and '\r'); it shares
// nothing with std::regex, so it can judge what the library gets wrong.
#ifndef TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_
#define TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tavrin::testing {

struct RegexNode {
  enum Kind { kChar, kDot, kStart, kEnd, kWordBoundary, kNotWordBoundary, kConcat, kAlt, kStar,
              kPlus, kOptional, kAhead, kNotAhead };
  Kind kind = kChar;
  char c = 'a';
  std::vector<std::shared_ptr<RegexNode>> parts;
};
using RegexTree = std::shared_ptr<RegexNode>;

inline std::string RenderRegex(const RegexTree& n) {
  switch (n->kind) {
    case RegexNode::kChar:
      return n->c == '\n' ? "\\n" : std::string(1, n->c);
    case RegexNode::kDot:
      return ".";
    case RegexNode::kStart:
      return "^";
    case RegexNode::kEnd:
      return "$";
    case RegexNode::kWordBoundary:
      return "\\b";
    case RegexNode::kNotWordBoundary:
      return "\\B";
    case RegexNode::kConcat: {
      std::string s;
      for (const auto& p : n->parts) s += RenderRegex(p);
      return s;
    }
    case RegexNode::kAlt:
      return "(?:" + RenderRegex(n->parts[0]) + "|" + RenderRegex(n->parts[1]) + ")";
    case RegexNode::kStar:
      return "(?:" + RenderRegex(n->parts[0]) + ")*";
    case RegexNode::kPlus:
      return "(?:" + RenderRegex(n->parts[0]) + ")+";
    case RegexNode::kOptional:
      return "(?:" + RenderRegex(n->parts[0]) + ")?";
    case RegexNode::kAhead:
      return "(?=" + RenderRegex(n->parts[0]) + ")";
    case RegexNode::kNotAhead:
      return "(?!" + RenderRegex(n->parts[0]) + ")";
  }
  return "";
}

class RegexReference {
 public:
  explicit RegexReference(std::string s) : s_(std::move(s)) {}

  // Whether the pattern matches starting at some position.
  bool Search(const RegexTree& n) const {
    for (size_t p = 0; p <= s_.size(); ++p) {
      if (!Ends(n, p).empty()) return true;
    }
    return false;
  }

 private:
  bool IsWord(long i) const {
    if (i < 0 || i >= static_cast<long>(s_.size())) return false;
    const char c = s_[i];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  // Positions where a match of n that starts at p can end (sorted, unique).
  std::vector<size_t> Ends(const RegexTree& n, size_t p) const {
    const size_t len = s_.size();
    auto if_true = [&](bool b) { return b ? std::vector<size_t>{p} : std::vector<size_t>{}; };
    switch (n->kind) {
      case RegexNode::kChar:
        return p < len && s_[p] == n->c ? std::vector<size_t>{p + 1} : std::vector<size_t>{};
      case RegexNode::kDot:
        return p < len && s_[p] != '\n' && s_[p] != '\r' ? std::vector<size_t>{p + 1}
                                                           : std::vector<size_t>{};
      case RegexNode::kStart:
        return if_true(p == 0);
      case RegexNode::kEnd:
        return if_true(p == len);
      case RegexNode::kWordBoundary:
        return if_true(IsWord(static_cast<long>(p) - 1) != IsWord(static_cast<long>(p)));
      case RegexNode::kNotWordBoundary:
        return if_true(IsWord(static_cast<long>(p) - 1) == IsWord(static_cast<long>(p)));
      case RegexNode::kAhead:
        return if_true(!Ends(n->parts[0], p).empty());
      case RegexNode::kNotAhead:
        return if_true(Ends(n->parts[0], p).empty());
      case RegexNode::kConcat: {
        std::vector<bool> at(len + 1, false);
        at[p] = true;
        for (const auto& part : n->parts) {
          std::vector<bool> next(len + 1, false);
          for (size_t q = 0; q <= len; ++q) {
            if (!at[q]) continue;
            for (size_t e : Ends(part, q)) next[e] = true;
          }
          at = next;
        }
        return Positions(at);
      }
      case RegexNode::kAlt: {
        std::vector<bool> at(len + 1, false);
        for (const auto& part : n->parts) {
          for (size_t e : Ends(part, p)) at[e] = true;
        }
        return Positions(at);
      }
      case RegexNode::kStar:
      case RegexNode::kPlus:
      case RegexNode::kOptional: {
        // Zero or more (one or more, at most one) repetitions; repeating an
        // empty match adds no end position, so the closure is the answer.
        std::vector<bool> at(len + 1, false);
        std::vector<size_t> frontier = Ends(n->parts[0], p);
        for (size_t e : frontier) at[e] = true;
        if (n->kind != RegexNode::kPlus) at[p] = true;
        while (n->kind != RegexNode::kOptional && !frontier.empty()) {
          std::vector<size_t> next;
          for (size_t q : frontier) {
            for (size_t e : Ends(n->parts[0], q)) {
              if (!at[e]) {
                at[e] = true;
                next.push_back(e);
              }
            }
          }
          frontier = next;
        }
        return Positions(at);
      }
    }
    return {};
  }

  static std::vector<size_t> Positions(const std::vector<bool>& at) {
    std::vector<size_t> out;
    for (size_t i = 0; i < at.size(); ++i) {
      if (at[i]) out.push_back(i);
    }
    return out;
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
    switch (kind) {
      case 0:
      case 1:
        node->kind = RegexNode::kChar;
        node->c = "ab _\n"[Pick(5)];
        return node;
      case 2:
        node->kind = RegexNode::kDot;
        return node;
      case 3:
        node->kind = RegexNode::kStart;
        return node;
      case 4:
        node->kind = RegexNode::kEnd;
        return node;
      case 5:
        node->kind = Pick(2) == 0 ? RegexNode::kWordBoundary : RegexNode::kNotWordBoundary;
        return node;
      case 6:
      case 7:
        node->kind = RegexNode::kConcat;
        for (int n = 2 + Pick(2); n > 0; --n) node->parts.push_back(Pattern(depth - 1));
        return node;
      case 8:
        node->kind = RegexNode::kAlt;
        node->parts = {Pattern(depth - 1), Pattern(depth - 1)};
        return node;
      case 9:
        node->kind = static_cast<RegexNode::Kind>(RegexNode::kStar + Pick(3));
        node->parts = {Pattern(depth - 1)};
        return node;
      default:
        node->kind = Pick(2) == 0 ? RegexNode::kAhead : RegexNode::kNotAhead;
        node->parts = {Pattern(depth - 1)};
        return node;
    }
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
