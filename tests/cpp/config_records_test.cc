#include <gtest/gtest.h>

#include <string>

#include "common/db_config.h"
#include "config/index_config.h"
#include "config/index_params.h"
#include "test_util.h"

namespace tavrin {
namespace {

using ::tavrin::testing::error_text;

TEST(ConfigRecords, LocationsParseExactlyAndOnlyTheirLowerCaseText) {
  EXPECT_EQ(parse_location("memory"), Location::MEMORY);
  EXPECT_EQ(parse_location("postgres"), Location::POSTGRES);
  EXPECT_EQ(parse_location("redis"), Location::REDIS);
  for (const std::string text : {"Memory", "none", "", "redis ", "POSTGRES", "postgresql"}) {
    EXPECT_EQ(error_text<std::invalid_argument>([&] { parse_location(text); }),
              "Unknown DB location: " + text);
  }
}

TEST(ConfigRecords, DbConfigKeepsEngagedEmptyOptionalsApartFromEmptyOnes) {
  DBConfig none(Location::POSTGRES, std::nullopt, std::nullopt);
  EXPECT_FALSE(none.table_name.has_value());
  EXPECT_FALSE(none.connection_string.has_value());
  DBConfig empty(Location::POSTGRES, std::string(), std::nullopt);
  ASSERT_TRUE(empty.table_name.has_value());
  EXPECT_EQ(*empty.table_name, "");
}

TEST(ConfigRecords, MetricsRoundTripThroughTheirText) {
  for (auto m :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::SquaredEuclidean}) {
    EXPECT_EQ(parse_metric(metric_name(m)), m);
  }
  EXPECT_EQ(metric_name(DistanceMetric::SquaredEuclidean), "squared_euclidean");
  EXPECT_EQ(error_text<std::invalid_argument>([] { parse_metric("Cosine"); }),
            "Invalid distance metric: Cosine");
  EXPECT_EQ(error_text<std::invalid_argument>([] { parse_metric(""); }),
            "Invalid distance metric: ");
  EXPECT_EQ(error_text<std::invalid_argument>([] { metric_name(static_cast<DistanceMetric>(3)); }),
            "Invalid distance metric");
  EXPECT_EQ(index_type_name(IndexType::IVFFLAT), "ivfflat");
  EXPECT_EQ(index_type_name(static_cast<IndexType>(5)), "unknown");
}

TEST(ConfigRecords, IvfFlatDefaultsAndIndependentClone) {
  IndexIVFFlat plain(128, 16, "euclidean");
  EXPECT_EQ(plain.dimension, 128u);
  EXPECT_EQ(plain.n_lists(), 16u);
  EXPECT_EQ(plain.metric, DistanceMetric::Euclidean);
  EXPECT_EQ(plain.index_type, IndexType::IVFFLAT);
  EXPECT_EQ(plain.pq_dim(), 0u);
  EXPECT_EQ(plain.pq_bits(), 0u);
  ASSERT_TRUE(plain.embedding_model.has_value());
  EXPECT_EQ(*plain.embedding_model, "");
  EXPECT_FALSE(plain.has_embedding_model());

  IndexIVFFlat zero(0, 0, "cosine");  // accepted here; creation refuses it
  EXPECT_EQ(zero.n_lists(), 0u);

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
}

TEST(ConfigRecords, IndexParamsFourthLocationFallsBackToTheIndexLocation) {
  IndexParams p;
  p.index_location = DBConfig(Location::POSTGRES, std::string("t"), std::string("c"));
  p.set_fourth_location(DBConfig(Location::NONE, std::string("ignored"), std::nullopt));
  EXPECT_EQ(p.fourth_location.location, Location::POSTGRES);
  EXPECT_EQ(p.fourth_location.table_name, std::optional<std::string>("t"));
  EXPECT_EQ(p.fourth_location.connection_string, std::optional<std::string>("c"));
  p.set_fourth_location(DBConfig(Location::REDIS, std::string("r"), std::nullopt));
  EXPECT_EQ(p.fourth_location.location, Location::REDIS);
  EXPECT_EQ(p.fourth_location.table_name, std::optional<std::string>("r"));
  EXPECT_EQ(p.key_size, 32u);
  EXPECT_FALSE(p.max_cache_size.has_value());
}

}  // namespace
}  // namespace tavrin
