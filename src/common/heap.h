// Handing freed heap memory back to the operating system.
//
// The allocator keeps what a process frees for its next allocations, and
// cannot give back pages that lie between chunks still in use. After an
// operation that frees a large share of the heap at once (training, its
// re-ingest, compaction, rotation, deleting an index) the resident size then
// stays at the operation's peak; the next large operation adds its own peak on
// top of what is resident but unused. ReleaseFreeHeap returns every whole free
// page. It costs about a millisecond per 100 MB of heap, so it is called after
// such operations only, never per upsert or per query.
#ifndef TAVRIN_COMMON_HEAP_H_
#define TAVRIN_COMMON_HEAP_H_

namespace tavrin {

// Returns free heap pages to the operating system where the C library can
// (glibc's malloc_trim); a no-op elsewhere. Never throws.
void ReleaseFreeHeap() noexcept;

// Calls ReleaseFreeHeap when it goes out of scope: declared first in an
// operation, it runs after everything the operation allocated is freed, on
// success and on failure alike.
struct HeapReleaser {
  HeapReleaser() = default;
  HeapReleaser(const HeapReleaser&) = delete;
  HeapReleaser& operator=(const HeapReleaser&) = delete;
  ~HeapReleaser() { ReleaseFreeHeap(); }
};

}  // namespace tavrin

#endif  // TAVRIN_COMMON_HEAP_H_
