// Access to the throwaway servers that scripts/test starts. A test that needs
// one calls the accessor and skips when the server is not there.
#ifndef TAVRIN_TESTS_CPP_TEST_SERVICES_H_
#define TAVRIN_TESTS_CPP_TEST_SERVICES_H_

#include <cstdlib>
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

}  // namespace tavrin::testing

#define TAVRIN_REQUIRE_POSTGRES(var)                                                \
  auto var##_opt = ::tavrin::testing::postgres_conninfo();                          \
  if (!var##_opt) GTEST_SKIP() << "no PostgreSQL server: run through scripts/test"; \
  const std::string var = *var##_opt

#define TAVRIN_REQUIRE_REDIS(var)                                              \
  auto var##_opt = ::tavrin::testing::redis_connection_string();               \
  if (!var##_opt) GTEST_SKIP() << "no Redis server: run through scripts/test"; \
  const std::string var = *var##_opt

#endif  // TAVRIN_TESTS_CPP_TEST_SERVICES_H_
