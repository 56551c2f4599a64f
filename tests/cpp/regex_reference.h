// Random ECMAScript patterns over a small grammar (literals, ".", "\s",
// "[^a]", "^", "$", "\b", "\B", groups, alternation, "*", "+", "?" and
// lookaheads; subjects over "ab _\n\r"), each with a reference matcher built
// beside it. The matcher works on sets of end positions, written from the
// language's definition of each construct (input start and end, word
// characters [A-Za-z0-9_], "." refusing only '\n' and '\r'); it shares
// nothing with std::regex, so it can judge what the library gets wrong.
#ifndef TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_
#define TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tavrin::testing {

// A pattern and where a match of it that starts at p can end, as a bit mask
// of positions (subjects are under 32 bytes).
struct RegexReference {
  std::string pattern;
  std::function<uint32_t(const std::string& s, size_t p)> ends;

  // Whether the pattern matches starting at some position.
  bool Search(const std::string& s) const { return EndsFrom(s, (2u << s.size()) - 1) != 0; }

  // The ends of matches starting at any position of from.
  uint32_t EndsFrom(const std::string& s, uint32_t from) const {
    uint32_t out = 0;
    for (size_t q = 0; q <= s.size(); ++q) if (from >> q & 1) out |= ends(s, q);
    return out;
  }
};

class RegexGenerator {
 public:
  explicit RegexGenerator(uint32_t seed) : rng_(seed) {}

  RegexReference Pattern(int depth) {
    using S = const std::string&;
    const int kind = depth > 0 ? Pick(13) : Pick(6);
    if (kind <= 2) {
      // One character: a literal, ".", "\s" or "[^a]".
      static const char* kAtoms[] = {"a", "b", " ", "_", "\\n", "\\r", "\\xFF", ".", "\\s", "[^a]"};
      const int atom = Pick(10);
      return {kAtoms[atom], [atom](S s, size_t p) {
                if (p >= s.size()) return 0u;
                const char c = s[p];
                const bool space = c == ' ' || c == '\n' || c == '\r';
                const bool hit = atom < 7   ? c == kAlphabet[atom]
                                 : atom == 7 ? c != '\n' && c != '\r'
                                 : atom == 8 ? space
                                             : c != 'a';
                return hit ? 2u << p : 0u;
              }};
    }
    if (kind == 3) return {"^", [](S, size_t p) { return p == 0 ? 1u : 0u; }};
    if (kind == 4) return {"$", [](S s, size_t p) { return p == s.size() ? 1u << p : 0u; }};
    if (kind == 5) {
      const bool boundary = Pick(2) == 0;
      return {boundary ? "\\b" : "\\B", [boundary](S s, size_t p) {
                return (IsWordBefore(s, p) != IsWordBefore(s, p + 1)) == boundary ? 1u << p : 0u;
              }};
    }
    if (kind <= 7) {
      std::vector<RegexReference> parts;
      std::string pattern;
      for (int n = 2 + Pick(2); n > 0; --n) {
        parts.push_back(Pattern(depth - 1));
        pattern += parts.back().pattern;
      }
      return {pattern, [parts](S s, size_t p) {
                uint32_t at = 1u << p;
                for (const RegexReference& part : parts) at = part.EndsFrom(s, at);
                return at;
              }};
    }
    if (kind == 8) {
      const RegexReference a = Pattern(depth - 1), b = Pattern(depth - 1);
      return {"(?:" + a.pattern + "|" + b.pattern + ")",
              [a, b](S s, size_t p) { return a.ends(s, p) | b.ends(s, p); }};
    }
    if (kind == 9) {
      // "*", "+", "?"; repeating an empty match adds no end position, so
      // the closure is the answer.
      const char how = "*+?"[Pick(3)];
      const RegexReference a = Pattern(depth - 1);
      return {"(?:" + a.pattern + ")" + how, [a, how](S s, size_t p) {
                uint32_t at = a.ends(s, p);
                for (uint32_t next = at; how != '?' && next != 0; at |= next)
                  next = a.EndsFrom(s, next) & ~at;
                return how == '+' ? at : at | 1u << p;
              }};
    }
    const bool negative = Pick(2) != 0;
    const RegexReference a = Pattern(depth - 1);
    return {(negative ? "(?!" : "(?=") + a.pattern + ")", [a, negative](S s, size_t p) {
              return (a.ends(s, p) == 0) == negative ? 1u << p : 0u;
            }};
  }

  std::string Subject() {
    std::string s;
    for (int n = Pick(7); n > 0; --n) s += kAlphabet[Pick(6)];
    return s;
  }

 private:
  // The subjects' characters, then the matcher's start marker byte: only a
  // pattern holds that, as no UTF-8 text does.
  static constexpr char kAlphabet[] = "ab _\n\r\xFF";

  // Whether the character before position i is a word character.
  static bool IsWordBefore(const std::string& s, size_t i) {
    if (i == 0 || i > s.size()) return false;
    const char c = s[i - 1];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::mt19937 rng_;
};

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_REGEX_REFERENCE_H_
