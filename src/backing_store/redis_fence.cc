#include "backing_store/redis_fence.h"

#include <cstdio>

#include "backing_store/keystore.h"
#include "backing_store/redis_cluster_router.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

// Numbers compare as numbers (decimal strings of different lengths would
// not); Lua's doubles hold them exactly below 2^53, far beyond any count of
// lease acquisitions.
std::string fence_check() {
  return "local seen = tonumber(redis.call('get', KEYS[1]) or '0') "
         "local mine = tonumber(ARGV[1]) "
         "if seen > mine then return redis.error_reply('FENCED " +
         std::string(kFenceLostError) +
         "') end "
         "if seen < mine then redis.call('set', KEYS[1], ARGV[1]) end ";
}

const std::string& write_script() {
  static const std::string script =
      fence_check() + "return redis.call(ARGV[2], KEYS[2], unpack(ARGV, 3))";
  return script;
}

const std::string& raise_script() {
  static const std::string script =
      "local seen = tonumber(redis.call('get', KEYS[1]) or '0') "
      "local mine = tonumber(ARGV[1]) "
      "if seen > mine then return seen end "
      "if seen < mine then redis.call('set', KEYS[1], ARGV[1]) end return 0";
  return script;
}

}  // namespace

namespace {

// For each hash slot, the smallest decimal number whose slot it is: a hash
// tag that puts a key of our own into the slot of any other key. Every slot
// is reached within some 200,000 numbers, counted once per process.
const std::string& tag_for_slot(uint16_t slot) {
  static const std::vector<std::string> tags = [] {
    std::vector<std::string> t(kClusterSlots);
    size_t left = kClusterSlots;
    for (uint64_t n = 0; left > 0; ++n) {
      std::string text = std::to_string(n);
      std::string& at = t[cluster_key_slot(text)];
      if (at.empty()) {
        at = std::move(text);
        --left;
      }
    }
    return t;
  }();
  return tags[slot];
}

}  // namespace

std::string fence_key_for(std::string_view key, std::string_view suffix) {
  std::string out = "tavrindb:fence:{" + tag_for_slot(cluster_key_slot(key)) + "}";
  out.append(suffix.data(), suffix.size());
  return out;
}

std::string fence_name(std::string_view table, std::string_view index_name) {
  // FNV-1a of both: the same in every process.
  uint64_t h = 14695981039346656037ull;
  auto mix = [&](std::string_view text) {
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  };
  mix(table);
  mix("\n");
  mix(index_name);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  return hex;
}

std::vector<std::string_view> fenced_command(const std::vector<std::string_view>& command,
                                             const std::string& fence_key, const std::string& number) {
  std::vector<std::string_view> out{"EVAL", write_script(), "2", fence_key, command.at(1), number,
                                    command.at(0)};
  out.insert(out.end(), command.begin() + 2, command.end());
  return out;
}

std::vector<std::string_view> raise_fence_command(const std::string& fence_key,
                                                  const std::string& number) {
  return {"EVAL", raise_script(), "1", fence_key, number};
}

}  // namespace tavrin_encrypted_index::internal::backing_store
