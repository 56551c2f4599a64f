// Small helpers shared by the C++ tests.
#ifndef TAVRIN_TESTS_CPP_TEST_UTIL_H_
#define TAVRIN_TESTS_CPP_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

// What flatc decodes from `bytes` with the schema at `schema` (a path in the
// source tree) alone: proof that a byte form is the schema's, not only what
// our generated reader accepts.
inline nlohmann::json flatc_json(const std::vector<uint8_t>& bytes, const std::string& schema,
                                 const std::string& flags = "") {
  const std::string dir = ::testing::TempDir() + "tavrin_flatc_" + std::to_string(getpid());
  const std::string bin = dir + "/buffer.bin";
  const std::string cmd = std::string("'") + TAVRIN_FLATC +
                          "' --json --strict-json --raw-binary " + flags + " -o '" + dir + "' '" +
                          TAVRIN_SOURCE_DIR + "/" + schema + "' -- '" + bin + "'";
  std::system(("mkdir -p '" + dir + "'").c_str());
  std::ofstream(bin, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (std::system(cmd.c_str()) != 0) {
    ADD_FAILURE() << cmd;
    return nullptr;
  }
  std::stringstream text;
  text << std::ifstream(dir + "/buffer.json").rdbuf();
  std::system(("rm -rf '" + dir + "'").c_str());
  return nlohmann::json::parse(text.str());
}

// Hands decode `iterations` copies of `good` with 1 to 4 bits flipped and, one
// time in three, cut short, each in an exactly sized block so the sanitizers
// see an over-read. Returns how many decode refused with a clean error.
template <typename Fn>
int corrupted_refusals(const std::vector<uint8_t>& good, uint32_t seed, int iterations,
                       Fn&& decode) {
  std::mt19937 rng(seed);
  int refused = 0;
  for (int iter = 0; iter < iterations; ++iter) {
    std::vector<uint8_t> b = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    if (rng() % 3 == 0) b.resize(rng() % b.size());
    try {
      decode(std::vector<uint8_t>(b.begin(), b.end()));
    } catch (const std::runtime_error&) {
      ++refused;
    } catch (const std::invalid_argument&) {
      ++refused;
    }
  }
  return refused;
}

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_TEST_UTIL_H_
