// Small helpers shared by the C++ tests.
#ifndef TAVRIN_TESTS_CPP_TEST_UTIL_H_
#define TAVRIN_TESTS_CPP_TEST_UTIL_H_

#include <exception>
#include <string>

namespace tavrin::testing {

// The message of the E that fn throws, or a marker that no E was thrown (an
// exception of another type escapes to the test).
template <typename E = std::exception, typename Fn>
std::string error_text(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception of the expected type>";
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_TEST_UTIL_H_
