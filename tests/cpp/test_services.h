// Access to the throwaway servers that scripts/test starts. A test that needs
// one calls the accessor and skips, loudly, when the server is not there;
// under CI=true a missing server fails the test instead, so a broken service
// set-up cannot pass as a green run.
#ifndef TAVRIN_TESTS_CPP_TEST_SERVICES_H_
#define TAVRIN_TESTS_CPP_TEST_SERVICES_H_

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace tavrin::testing {

// libpq conninfo of the test PostgreSQL server, if one runs.
inline std::optional<std::string> postgres_conninfo() {
  const char* v = std::getenv("TAVRIN_TEST_POSTGRES");
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

// "host:...,port:...,db:0" of the test Redis server, if one runs.
inline std::optional<std::string> redis_connection_string() {
  const char* v = std::getenv("TAVRIN_TEST_REDIS");
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

inline bool running_in_ci() {
  const char* v = std::getenv("CI");
  return v != nullptr && std::strcmp(v, "true") == 0;
}

}  // namespace tavrin::testing

// Skips the test (fails it under CI=true) with `why`.
#define TAVRIN_SKIP_OR_FAIL(why)                                   \
  do {                                                             \
    if (::tavrin::testing::running_in_ci()) GTEST_FAIL() << (why); \
    GTEST_SKIP() << (why);                                         \
  } while (0)

#define TAVRIN_REQUIRE_POSTGRES(var)                                                     \
  auto var##_opt = ::tavrin::testing::postgres_conninfo();                               \
  if (!var##_opt) TAVRIN_SKIP_OR_FAIL("no PostgreSQL server: run through scripts/test"); \
  const std::string var = *var##_opt

#define TAVRIN_REQUIRE_REDIS(var)                                                   \
  auto var##_opt = ::tavrin::testing::redis_connection_string();                    \
  if (!var##_opt) TAVRIN_SKIP_OR_FAIL("no Redis server: run through scripts/test"); \
  const std::string var = *var##_opt

#endif  // TAVRIN_TESTS_CPP_TEST_SERVICES_H_
