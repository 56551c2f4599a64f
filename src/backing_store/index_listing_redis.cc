#include <algorithm>
#include <stdexcept>

#include "backing_store/index_listing.h"
#include "backing_store/redis_cluster_router.h"
#include "backing_store/redis_connection.h"

namespace tavrin_encrypted_index::internal::backing_store {

std::vector<std::string> ListIndexesRedis(const tavrin::DBConfig& config_location) {
  if (!config_location.table_name) throw std::runtime_error("table_name is not set in DBConfig.");
  if (!config_location.connection_string) {
    throw std::runtime_error("Database connection string is missing in the configuration.");
  }
  // The hash holds two small fields per index: one HKEYS is enough. On a
  // cluster it is one key too, on the master of its slot.
  const std::string& conn_string = *config_location.connection_string;
  const std::vector<std::string_view> hkeys{"HKEYS", *config_location.table_name};
  RedisReply r;
  if (is_redis_cluster(conn_string)) {
    r = RedisClusterRouter(conn_string).RunOne(hkeys, false);
  } else {
    RedisConnection conn(conn_string);
    r = conn.Command(hkeys);
    if (!r) throw std::runtime_error("HKEYS command failed: " + conn.error());
  }
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
