// Access to the throwaway servers that scripts/test starts. A test that needs
// one calls the accessor and skips, loudly, when the server is not there;
// under CI=true a missing server fails the test instead, so a broken service
// set-up cannot pass as a green run. And a throwaway SQLite database file.
#ifndef TAVRIN_TESTS_CPP_TEST_SERVICES_H_
#define TAVRIN_TESTS_CPP_TEST_SERVICES_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

namespace tavrin::testing {

inline std::optional<std::string> env_value(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}
// libpq conninfo of the test PostgreSQL server, if one runs.
inline std::optional<std::string> postgres_conninfo() { return env_value("TAVRIN_TEST_POSTGRES"); }
// "host:...,port:...,db:0" of the test Redis server, if one runs.
inline std::optional<std::string> redis_connection_string() {
  return env_value("TAVRIN_TEST_REDIS");
}

// The same with ",cluster:yes", of a seed node of the test Redis Cluster.
inline std::optional<std::string> redis_cluster_connection_string() {
  return env_value("TAVRIN_TEST_REDIS_CLUSTER");
}

inline bool running_in_ci() { return env_value("CI") == std::string("true"); }

// A database file of the test's own; the file and its WAL go with it.
struct TempDatabase {
  std::string path = ::testing::TempDir() + "tavrin_" + std::to_string(getpid()) + "_" +
                     std::to_string(std::random_device()()) + ".sqlite";
  ~TempDatabase() {
    for (const char* end : {"", "-wal", "-shm"}) std::remove((path + end).c_str());
  }
};

}  // namespace tavrin::testing

// Skips the test (fails it under CI=true) with `why`.
#define TAVRIN_SKIP_OR_FAIL(why)                                   \
  do {                                                             \
    if (::tavrin::testing::running_in_ci()) GTEST_FAIL() << (why); \
    GTEST_SKIP() << (why);                                         \
  } while (0)

#endif  // TAVRIN_TESTS_CPP_TEST_SERVICES_H_
