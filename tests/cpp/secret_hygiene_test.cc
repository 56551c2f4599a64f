// Secrets overwrite their bytes when released: a key left in freed memory
// would outlive the handle that used it.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "common/key.h"
#include "crypto/list_entry_labels.h"

namespace tavrin {
namespace {

template <typename Secret>
bool WipedOnRelease() {
  Secret source;
  source.fill(0xA5);
  alignas(Secret) unsigned char storage[sizeof(Secret)] = {};
  Secret* copy = new (storage) Secret(source);
  if ((*copy)[0] != 0xA5) return false;
  copy->~Secret();
  // The storage is read after the object's end: keep the compiler from
  // treating the bytes as dead.
  __asm__ __volatile__("" : : "r"(storage) : "memory");
  return std::all_of(storage, storage + sizeof storage, [](unsigned char b) { return b == 0; });
}

TEST(Secrets, KeysAndListSeedsAreWipedWhenReleased) {
  EXPECT_TRUE(WipedOnRelease<Key256>());
  EXPECT_TRUE(WipedOnRelease<CentroidSeed>());
}

}  // namespace
}  // namespace tavrin
