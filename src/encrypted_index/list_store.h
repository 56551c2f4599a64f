// The inverted lists of one index, over its index store.
//
// Entry p of list c is stored under label(c, p) and holds the item's data
// token XOR mask(c, p); labels and masks come from list c's secret seed
// (crypto/list_entry_labels.h), so the store sees neither which list an
// entry belongs to nor which item it names. The count map says how many
// positions each list has handed out; it is kept sealed under the index key
// in one row under kCountsKey, as n_lists little-endian 32-bit counts.
//
// Positions are never reused while the map lives: Reserve advances and saves
// the counts before the caller writes a single entry, so the stored map
// always covers every stored entry and a failure part-way leaves at worst
// unused positions, which read as absent entries.
//
// The store holds entries only; whether an entry is live (its item still
// exists and names this list) is decided by the item records, which the
// index reads after Read. Not thread-safe; every failure is an exception.
#ifndef TAVRIN_ENCRYPTED_INDEX_LIST_STORE_H_
#define TAVRIN_ENCRYPTED_INDEX_LIST_STORE_H_

#include <cstdint>
#include <vector>

#include "backing_store/keystore.h"
#include "common/key.h"
#include "crypto/list_entry_labels.h"

namespace tavrin {

// Key of the sealed list-count map in the index store.
inline constexpr uint64_t kCountsKey = 0xFFFFFFFFFFFFFFFFull;
// Key of the sealed generation counter (original format).
inline constexpr uint64_t kGenerationKey = 0xFFFFFFFFFFFFFFFEull;

// Entries ready to be stored: label and masked token of each appended item.
struct PendingEntries {
  std::vector<uint32_t> leaves;
  ListEntries entries;
};

// The entries of some lists as read: item tokens, list k's at
// tokens[offsets[k] .. offsets[k + 1]), in position order. An absent entry
// unmasks to a token no item has.
struct ListTokens {
  std::vector<uint64_t> tokens;
  std::vector<uint64_t> offsets;
};

class ListStore {
 public:
  // `store` must outlive the list store. Counts start at zero in memory.
  // Without own_counts the caller keeps the counts (Adopt) and the list store
  // never reads or writes the count map.
  ListStore(tavrin_encrypted_index::internal::backing_store::Keystore& store,
            const Key256& index_key, const Key256& name_key, uint64_t n_lists, uint32_t rounds,
            bool own_counts = true);

  uint64_t n_lists() const { return n_lists_; }
  const std::vector<uint32_t>& counts() const { return counts_; }
  // Whether the counts in memory differ from those last read or stored: a
  // handle writes back only those, never counts it merely read, which would
  // undo what another process stored since.
  bool unsaved() const { return own_counts_ && counts_ != stored_; }
  // Takes counts kept elsewhere as current and stored.
  void Adopt(std::vector<uint32_t> counts) {
    counts_ = std::move(counts);
    stored_ = counts_;
  }

  // Re-reads the count map. An absent row warns "Warning: No map data found
  // in the backing store. Creating a new map." and gives zero counts; a row
  // of the wrong length or one that does not open is refused.
  void LoadCounts();
  void SaveCounts();
  // Zero counts, saved.
  void ResetCounts();
  // Replaces the counts (one per list) and saves them.
  void SetCounts(std::vector<uint32_t> counts);

  // Throws std::runtime_error("List number out of range…") before anything
  // else when a list is not below n_lists.
  void CheckLists(const std::vector<uint32_t>& lists) const;

  // Hands out the next position of each entry's list, saves the advanced
  // counts, and derives the entries; writes no entry.
  PendingEntries Reserve(const std::vector<uint32_t>& lists, const std::vector<uint64_t>& tokens);
  // The entries of items at given positions, derived only.
  ListEntries Derive(const std::vector<uint32_t>& lists, const std::vector<uint64_t>& tokens,
                     const std::vector<uint32_t>& leaves);
  // Stores entries [begin, end) of `pending`.
  void Write(const PendingEntries& pending, size_t begin, size_t end);

  // Every entry of each requested list up to its count.
  ListTokens Read(const std::vector<uint32_t>& lists);
  // Entries starts[c] .. counts[c]-1 of each requested list c.
  ListTokens ReadRange(const std::vector<uint32_t>& lists, const std::vector<uint32_t>& starts,
                       const std::vector<uint32_t>& counts);

  // Removes the entries at positions [from, to) of `list` (positions
  // outside the count are ignored); the counts are left alone.
  void Erase(uint32_t list, uint32_t from, uint32_t to);

  // Keeps the labels and masks of the leaves reads derive, per list, up to
  // `max_leaves` leaves in all (0, the default: none), so that later reads
  // derive only leaves past those kept: a handle that keeps no decoded lists
  // would otherwise hash every leaf of every list it reads again on each
  // read. A leaf's label and mask depend on the seeds and rounds alone, fixed
  // for this object, so what is kept never goes stale. The masks are wiped
  // when released.
  void KeepLeaves(uint64_t max_leaves);
  uint64_t kept_leaves() const { return kept_; }

  ListStore(const ListStore&) = delete;
  ListStore& operator=(const ListStore&) = delete;
  ~ListStore();

 private:
  const std::vector<CentroidSeed>& seeds();
  // list_entry_masks, from the kept leaves where they cover the read.
  ListMasks Masks(const std::vector<uint32_t>& lists, const std::vector<uint32_t>& starts,
                  const std::vector<uint32_t>& counts);
  void DropKeptLeaves();

  tavrin_encrypted_index::internal::backing_store::Keystore& store_;
  Key256 index_key_;
  Key256 name_key_;
  uint64_t n_lists_;
  uint32_t rounds_;
  bool own_counts_;
  std::vector<uint32_t> counts_;
  std::vector<uint32_t> stored_;  // as last read or stored; empty: none stored
  std::vector<CentroidSeed> seeds_;  // made on first use
  // Leaves 0 .. size-1 of each list, as derived (KeepLeaves).
  struct KeptRun {
    std::vector<uint64_t> labels, masks;
  };
  std::vector<KeptRun> runs_;  // by list; empty when none are kept
  uint64_t max_kept_ = 0, kept_ = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_ENCRYPTED_INDEX_LIST_STORE_H_
