#include <gtest/gtest.h>

#include <string>

#include "common/db_config.h"
#include "config/index_config.h"
#include "config/index_params.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

// Locations and metrics parse exactly their lower-case texts; anything else
// is refused with the text in the message.
TEST(ConfigRecords, TextsParseExactlyAndRefuseTheRestByName) {
  EXPECT_EQ(parse_location("memory"), Location::MEMORY);
  EXPECT_EQ(parse_location("postgres"), Location::POSTGRES);
  EXPECT_EQ(parse_location("redis"), Location::REDIS);
  for (const std::string text : {"Memory", "none", "", "redis ", "POSTGRES", "postgresql"}) {
    EXPECT_EQ(error_text<std::invalid_argument>([&] { parse_location(text); }),
              "Unknown DB location: " + text);
  }
  for (auto m :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::SquaredEuclidean}) {
    EXPECT_EQ(parse_metric(metric_name(m)), m);
  }
  EXPECT_EQ(metric_name(DistanceMetric::SquaredEuclidean), "squared_euclidean");
  for (const std::string text : {"Cosine", "", "euclidean "}) {
    EXPECT_EQ(error_text<std::invalid_argument>([&] { parse_metric(text); }),
              "Invalid distance metric: " + text);
  }
  EXPECT_EQ(error_text<std::invalid_argument>([] { metric_name(static_cast<DistanceMetric>(3)); }),
            "Invalid distance metric");
  EXPECT_EQ(index_type_name(IndexType::IVFFLAT), "ivfflat");
  EXPECT_EQ(index_type_name(static_cast<IndexType>(5)), "unknown");
}

// The text form of a configuration keeps an engaged empty model name (and
// table name) apart from an absent one; a clone is a deep copy; a NONE
// fourth location falls back to the whole index location.
TEST(ConfigRecords, EmptyTextsCloneAndLocationFallback) {
  EXPECT_FALSE(DBConfig(Location::POSTGRES, std::nullopt, std::nullopt).table_name.has_value());
  EXPECT_EQ(DBConfig(Location::POSTGRES, std::string(), std::nullopt).table_name,
            std::optional<std::string>(""));
  const IndexIVFFlat plain(128, 16, "euclidean");
  EXPECT_EQ(plain.embedding_model, std::optional<std::string>(""));
  EXPECT_FALSE(plain.has_embedding_model());

  auto model = std::make_unique<IndexIVFFlat>(384, 4, "cosine", "all-MiniLM-L6-v2");
  std::unique_ptr<IndexConfig> copy = model->clone();
  model->embedding_model = "changed";
  model->dimension = 1;
  ASSERT_NE(dynamic_cast<IndexIVFFlat*>(copy.get()), nullptr);
  EXPECT_EQ(copy->embedding_model, std::optional<std::string>("all-MiniLM-L6-v2"));
  EXPECT_TRUE(copy->has_embedding_model());
  EXPECT_EQ(copy->dimension, 384u);
  EXPECT_EQ(copy->n_lists(), 4u);
  EXPECT_EQ(copy->metric, DistanceMetric::Cosine);

  IndexParams p;
  p.index_location = DBConfig(Location::POSTGRES, std::string("t"), std::string("c"));
  p.set_fourth_location(DBConfig(Location::NONE, std::string("ignored"), std::nullopt));
  EXPECT_EQ(p.fourth_location.location, Location::POSTGRES);
  EXPECT_EQ(p.fourth_location.table_name, std::optional<std::string>("t"));
  EXPECT_EQ(p.fourth_location.connection_string, std::optional<std::string>("c"));
  p.set_fourth_location(DBConfig(Location::REDIS, std::string("r"), std::nullopt));
  EXPECT_EQ(p.fourth_location.location, Location::REDIS);
  EXPECT_EQ(p.fourth_location.table_name, std::optional<std::string>("r"));
}

}  // namespace
}  // namespace tavrin
