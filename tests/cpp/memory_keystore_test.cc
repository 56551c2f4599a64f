#include "backing_store/store_role.h"
#include "backing_store/memory_keystore.h"

#include <gtest/gtest.h>

#include <string>

#include "backing_store/keystore_factory.h"
#include "test_util.h"

namespace tavrin_encrypted_index::internal::backing_store {
namespace {

using ::tavrin::testing::error_text;

// The shared store contract runs in keystore_conformance_test.cc; these are
// the memory store's own warnings and table bookkeeping.
TEST(MemoryKeystore, TablesComeAndGoWithTheirValuesAndWarn) {
  MemoryKeystore store("idx", 40, 2);
  ::testing::internal::CaptureStderr();
  store.BatchDeleteItems({1});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Index name for hashed_index_name_ does not exist.\n");
  // A batch of only empty values writes nothing, so makes no table either.
  store.BatchPutItems({1}, {{}});
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Index with hashed_index_name_ 42 does not exist.\n");

  store.BatchPutItems({1, 2}, {{'a'}, {'b'}});
  store.BatchDeleteItems({1, 2, 3});  // removes the last key and with it the table
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_NE(::testing::internal::GetCapturedStderr(), "");

  store.PutItem(5, {'x'});
  ::testing::internal::CaptureStderr();
  store.DeleteIndex();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(store.CountItems(), 0u);
}

TEST(KeystoreFactory, ChoosesByLocation) {
  using tavrin::DBConfig;
  using tavrin::Location;
  for (Location loc : {Location::MEMORY, Location::NONE}) {
    auto store = KeystoreFactory::Create(DBConfig(loc, "t", "c"), "idx", 10, StoreRole::kRecords);
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
  auto a = KeystoreFactory::Create(DBConfig(Location::MEMORY, {}, {}), "idx", 10, StoreRole::kIndex);
  auto b = KeystoreFactory::Create(DBConfig(Location::MEMORY, {}, {}), "idx", 10, StoreRole::kIndex);
  a->PutItem(1, {'a'});
  EXPECT_TRUE(b->GetItem(1).empty());
  EXPECT_EQ(error_text([&] {
              KeystoreFactory::Create(DBConfig(static_cast<Location>(3), {}, {}), "idx", 1, StoreRole::kIndex);
            }),
            "Unsupported index location");
}

}  // namespace
}  // namespace tavrin_encrypted_index::internal::backing_store
