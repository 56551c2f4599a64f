#include <algorithm>
#include <stdexcept>

#include "backing_store/index_listing.h"
#include "backing_store/redis_connection.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::vector<std::string> ListIndexesRedis(const tavrin::DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("Database connection string is missing in the configuration.");
  }
  RedisConnection conn(*config_location.connection_string);
  // The hash holds two small fields per index: one HKEYS is enough.
  RedisReply r = conn.Command({"HKEYS", *config_location.table_name});
  if (!r) throw std::runtime_error("HKEYS command failed: " + conn.error());
  if (r->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("HKEYS command failed: " + std::string(r->str, r->len));
  }
  std::vector<std::string> names;
  if (r->type != REDIS_REPLY_ARRAY) return names;
  for (size_t i = 0; i < r->elements; ++i) {
    const redisReply* e = r->element[i];
    if (e->type != REDIS_REPLY_STRING) continue;
    if (auto name = index_name_of_item(e->str, e->len)) names.push_back(std::move(*name));
  }
  // Redis keeps no order in a hash; sorted output is stable across calls.
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tavrin_encrypted_index::internal::backing_store
