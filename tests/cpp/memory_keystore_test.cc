#include "backing_store/memory_keystore.h"

#include <gtest/gtest.h>

#include <string>

#include "backing_store/keystore_factory.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::testing::error_text;

TEST(MemoryKeystore, RowsRespectRowSize) {
  MemoryKeystore store("idx", 100, 0);
  EXPECT_EQ(error_text([&] { store.BatchPutRows({}, ByteMatrix()); }),
            "No keys provided for batch insertion");
  EXPECT_EQ(error_text([&] { store.BatchPutRows({1}, ByteMatrix(Bytes(16, 7), 8)); }),
            "Mismatch between number of keys and batch size");
  ByteMatrix wide(Bytes(32, 9), 16);
  EXPECT_EQ(error_text([&] {
              store.BatchPutRows({1, 2}, wide);
            }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_EQ(store.CountItems(), 0u) << "a refused call wrote something";
  store.SetRowSize(16);
  store.BatchPutRows({1, 2}, wide);
  ByteMatrix back = store.BatchGetRows({2, 3, 1});
  EXPECT_EQ(back.rows, 3u);
  EXPECT_EQ(back.cols, 16u);
  Bytes expected(16, 9);
  expected.resize(32, 0);  // key 3 is absent: a zero row
  expected.resize(48, 9);
  EXPECT_EQ(back.data, expected);
}

TEST(MemoryKeystore, LaterDuplicateRowWinsAndAbsentRowsAreZero) {
  MemoryKeystore store("idx", 1, 0);
  Bytes data = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2};
  store.BatchPutRows({5, 5}, ByteMatrix(data, 8));
  Bytes expected(8, 2);
  expected.resize(16, 0);
  EXPECT_EQ(store.BatchGetRows({5, 6}).data, expected);
  EXPECT_EQ(store.BatchGetRows({}).rows, 0u);
  EXPECT_EQ(MemoryKeystore("idx", 2, 0).BatchGetRows({1, 2, 3}).data, Bytes(24, 0));
}

TEST(MemoryKeystore, RowOfOtherWidthIsRefusedNotShifted) {
  MemoryKeystore store("idx", 1, 0);
  store.PutItem(7, Bytes(36, 1));  // e.g. a sealed record beside the 8-byte rows
  store.BatchPutRows({8}, ByteMatrix(Bytes(8, 2), 8));
  EXPECT_THROW(store.BatchGetRows({7, 8}), std::runtime_error);
  EXPECT_EQ(store.BatchGetRows({8}).data, Bytes(8, 2));
}

TEST(MemoryKeystore, ItemsSkipEmptyValues) {
  MemoryKeystore store("idx", 1, 2);
  EXPECT_EQ(error_text([&] { store.BatchPutItems({}, {}); }),
            "No keys provided for batch insertion");
  EXPECT_EQ(error_text([&] {
              store.BatchPutItems({1, 2}, {{'a'}});
            }),
            "Mismatch between number of keys and batch size");
  // Nothing written, so no table either: deleting the index finds none.
  store.BatchPutItems({1}, {{}});
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_NE(::testing::internal::GetCapturedStderr(), "");

  store.BatchPutItems({1, 2}, {{'a'}, {}});
  EXPECT_EQ(store.CountItems(), 1u);
  store.BatchPutItems({1}, {{}});  // an empty value keeps the earlier one
  EXPECT_EQ(store.GetItem(1), Bytes{'a'});
  store.PutItem(3, {});  // PutItem does store an empty value
  EXPECT_EQ(store.CountItems(), 2u);
  EXPECT_EQ(store.BatchGetItems({3, 1, 4}), (std::vector<Bytes>{{}, {'a'}, {}}));
  EXPECT_TRUE(store.BatchGetItems({}).empty());
}

TEST(MemoryKeystore, DeletionAndWarnings) {
  MemoryKeystore store("idx", 40, 2);
  ::testing::internal::CaptureStderr();
  store.BatchDeleteItems({1});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Index name for hashed_index_name_ does not exist.\n");

  store.BatchPutItems({1, 2}, {{'a'}, {'b'}});
  store.DeleteItem(1);
  store.DeleteItem(99);
  EXPECT_EQ(store.CountItems(), 1u);
  store.BatchDeleteItems({2, 3});  // removes the last key and with it the table
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Index with hashed_index_name_ 42 does not exist.\n");

  store.PutItem(5, {'x'});
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(store.GetItem(5).empty());
  EXPECT_EQ(store.CountItems(), 0u);
}

TEST(MemoryKeystore, ConfigItemsAreNotKept) {
  MemoryKeystore store("idx", 1, 1);
  store.PushConfigItem("idx.cvs", {'v'});
  EXPECT_FALSE(store.ConfigItemExists("idx.cvs"));
  EXPECT_EQ(error_text([&] { store.LoadConfigItem("idx.cvs"); }),
            "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
}

TEST(KeystoreFactory, ChoosesByLocation) {
  using tavrin::DBConfig;
  using tavrin::Location;
  for (Location loc : {Location::MEMORY, Location::NONE}) {
    auto store = KeystoreFactory::Create(DBConfig(loc, "t", "c"), "idx", 10, 3);
    auto* memory = dynamic_cast<MemoryKeystore*>(store.get());
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->hashed_index_name(), 13u);
    EXPECT_EQ(memory->row_width(), 8u);
    EXPECT_EQ(memory->index_name(), "idx");
  }
  // The role is added sign-extended, wrapping.
  EXPECT_EQ(MemoryKeystore("i", 0, -1).hashed_index_name(), ~uint64_t{0});
  EXPECT_EQ(MemoryKeystore("i", ~uint64_t{0}, 3).hashed_index_name(), 2u);
  // Two stores of one index never share data.
  auto a = KeystoreFactory::Create(DBConfig(Location::MEMORY, {}, {}), "idx", 10, 0);
  auto b = KeystoreFactory::Create(DBConfig(Location::MEMORY, {}, {}), "idx", 10, 0);
  a->PutItem(1, {'a'});
  EXPECT_TRUE(b->GetItem(1).empty());
  EXPECT_EQ(error_text([&] {
              KeystoreFactory::Create(DBConfig(static_cast<Location>(3), {}, {}), "idx", 1, 0);
            }),
            "Unsupported index location");
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
