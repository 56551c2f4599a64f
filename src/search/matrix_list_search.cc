#include "search/matrix_list_search.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include "common/parallel.h"
#include "search/top_k_selection.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRIN_HAVE_X86 1
#endif

namespace tavrin {
namespace {

using selection::Entry;
using selection::TripleLess;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Uses of one list (queries of the batch that probe it) from which a product
// pays off against the blocked pairwise kernels.
constexpr uint64_t kMinSharing = 6;
// Above this selection size the per-query bound heaps grow large and the
// filter keeps little out; such batches stay pairwise unless forced.
constexpr uint64_t kMaxAutoTopK = 1024;
// Queries in one product, and floats in one product block (rows x queries):
// the block stays in the second-level cache while it is filtered.
constexpr size_t kMaxChunk = 256;
constexpr size_t kTileFloats = size_t{1} << 17;
// Pairwise scoring of lists few queries share, as the pairwise path does it.
constexpr size_t kMaxExactGroup = 64;
constexpr size_t kExactBlockBytes = 16 * 1024;
// The rounding bounds below need d u well below 1.
constexpr uint64_t kMaxDim = uint64_t{1} << 16;
// Squared norms where the bounds hold without overflow or underflow mattering
// (see below). A vector outside is "unsafe": a query goes to the pairwise
// path, a candidate row is always rescored.
constexpr float kMaxSqNorm = 0x1p60f;
constexpr float kMinCosineSqNorm = 0x1p-60f;

std::atomic<uint64_t> g_product_pairs{0};
std::atomic<int> g_scoring{static_cast<int>(ListScoring::kAuto)};

// ---- Rounding bounds --------------------------------------------------------
//
// The answer must be the pairwise kernel's value P for every candidate that
// can reach the top k, so each product value a gets a bound e with
// |a - P| <= e, proven for any summation order (BLAS blocks and the kernel's
// lanes add in orders of their own). u = 2^-24, gamma(n) = n u / (1 - n u);
// a dot product of length d in float has |fl(q.x) - q.x| <= gamma(d) sum
// |q_i x_i| <= gamma(d) |q| |x| in any order, with or without fused
// multiply-adds (Higham, Accuracy and Stability, 3.1). S = |q|^2 + |x|^2.
//
// Squared Euclidean (Euclidean ranks by the same sum), true value D = S - 2 q.x
// in [0, 2 S]:
//   pairwise P = sum fl(q_i - x_i)^2: each difference is off by a factor
//     (1 + u), its square by (1 + u)^2, the sum of d non-negative terms by
//     gamma(d): |P - D| <= gamma(d + 2) D <= 2 gamma(d + 2) S;
//   product: norms nq, nx off by gamma(d) |q|^2 and gamma(d) |x|^2 (together
//     gamma(d) S); G = fl(q.x) off by gamma(d) |q| |x| <= gamma(d) S / 2, so
//     2 G by gamma(d) S; a = fl(fl(nq + nx) - 2 G) (2 G is exact) adds
//     u (nq + nx) + u |a| <= 3.1 u S; in all |a - D| <= 2 gamma(d) S + 3.1 u S;
//   so |a - P| <= (4 gamma(d + 2) + 3.1 u) S <= 5 gamma(d + 4) S. Forming
//   lo = fl(a - e) and hi = fl(a + e) rounds by u (|a| + e) <= 2.2 u S more,
//   and nq + nx differs from S by gamma(d + 1) S: e = 10 gamma(d + 4) fl(nq +
//   nx) covers all of it with a margin near two.
//   Underflow: with flush-to-zero anywhere, each of the at most 5 d + 20
//   operations behind a, P and the norms may lose up to FLT_MIN absolutely;
//   e carries (16 d + 64) FLT_MIN on top. (Denormal inputs read as zero
//   would be read so by every one of these sums alike.) Overflow: squared
//   norms up to 2^60 keep every partial sum far below the float range.
//
// Cosine, true value C = 1 - c with c = q.x / (|q| |x|) in [-1, 1], for
// squared norms in [2^-60, 2^60] (so |q| |x| >= 2^-60, and the underflow
// losses above, (5 d + 20) FLT_MIN, are negligible beside gamma(d) |q| |x|):
//   pairwise P = fl(1 - fl(dot / fl(fl(sqrt nq) fl(sqrt nx)))): dot off by
//     gamma(d) |q| |x|, the denominator by a factor within 3 gamma(d + 2), the
//     quotient by u: |P - C| <= gamma(d) + 3 gamma(d + 2) + u + 2.1 u
//     <= 6 gamma(d + 4);
//   product a = fl(1 - fl(G w)) with w = fl(fl(1 / sqrt nq) fl(1 / sqrt nx))
//     off by a factor within 3 gamma(d + 2): |a - C| <= gamma(d) + 3 gamma(d +
//     2) + 3.1 u <= 5 gamma(d + 4);
//   so |a - P| <= 11 gamma(d + 4), plus u (|a| + e) for lo and hi: e = 24
//   gamma(d + 4) covers it twice over.
// Every factor of two spent here only widens the band by a few candidates a
// query, each rescored once.
struct Bound {
  float relative;  // times fl(nq + nx) for the Euclidean forms; absolute for cosine
  float absolute;
};

Bound rounding_bound(uint64_t d, DistanceMetric metric) {
  const double nu = static_cast<double>(d + 4) * 0x1p-24;
  const double gamma = nu / (1.0 - nu);
  auto up = [](double v) { return std::nextafter(static_cast<float>(v), kInf); };
  if (metric == kMetricCosine) return {up(24.0 * gamma), 0.0f};
  return {up(10.0 * gamma),
          static_cast<float>(16 * d + 64) * std::numeric_limits<float>::min()};
}

// ---- Candidates that may reach the answer ----------------------------------

// A row of one (query, probe column) pair with lo <= P <= hi for its pairwise
// value P; lo = hi = NaN when no bound is known (always rescored, never used
// to bound others).
struct Survivor {
  uint32_t row;
  float lo;
  float hi;
};

// Where the survivors of one (query, probe column) pair lie: in the arena of
// the thread that scored them.
struct Span {
  uint64_t begin = 0;
  uint32_t count = 0;
  uint32_t thread = 0;
};

struct Use {
  uint32_t query;
  uint32_t column;
};

// A list scored for a run of its uses.
struct Task {
  uint32_t list;
  bool by_product;
  uint64_t use_begin;
  uint64_t use_end;
  uint64_t cost;
};

// The running filter of one use: a max-heap of the k smallest hi of its own
// rows so far, and the rows kept. A row is kept while its lo is not above
// tau, the smaller of that heap's k-th hi (infinite below k) and `shared`,
// the smallest such k-th hi any other list of the same query reached. The
// query's final k-th smallest hi over all its lists is never above tau, so
// the rows kept include every row whose lo is not above it, and the k rows
// with the smallest hi of the query.
struct UseFilter {
  float tau;
  float shared;
  uint32_t size;
  uint64_t k;
  float* heap;
  std::vector<Survivor>* out;

  void keep(uint32_t row, float lo, float hi) {
    if (std::isnan(lo)) {
      out->push_back({row, kNaN, kNaN});
      return;
    }
    out->push_back({row, lo, hi});
    if (size < k) {
      heap[size++] = hi;
      std::push_heap(heap, heap + size);
      if (size == k) tau = std::min(shared, heap[0]);
    } else if (hi < heap[0]) {
      std::pop_heap(heap, heap + k);
      heap[k - 1] = hi;
      std::push_heap(heap, heap + k);
      tau = std::min(shared, heap[0]);
    }
  }
  float own_kth() const { return size == k ? heap[0] : kInf; }
};

// Bounds of rows from products g = x_r . q of one query (see above).
// Unsafe rows carry a NaN row term, which makes their lo NaN.
struct EuclideanTerms {
  const float* g;
  const float* row_norm;
  float query_norm;
  Bound bound;

  float lo(size_t r) const {
    const float sum = query_norm + row_norm[r];
    return (sum - 2.0f * g[r]) - (bound.relative * sum + bound.absolute);
  }
  float hi(size_t r) const {
    const float sum = query_norm + row_norm[r];
    return (sum - 2.0f * g[r]) + (bound.relative * sum + bound.absolute);
  }
};

struct CosineTerms {
  const float* g;
  const float* row_inverse;  // 1 / |x|
  float query_inverse;       // 1 / |q|
  Bound bound;

  float lo(size_t r) const {
    return (1.0f - g[r] * (query_inverse * row_inverse[r])) - bound.relative;
  }
  float hi(size_t r) const {
    return (1.0f - g[r] * (query_inverse * row_inverse[r])) + bound.relative;
  }
};

// Pairwise values: the bounds are the value itself.
struct ExactTerms {
  const float* p;
  float lo(size_t r) const { return p[r]; }
  float hi(size_t r) const { return p[r]; }
};

template <typename Terms>
void scan_rows(const Terms& t, size_t from, size_t nb, uint64_t first_row, UseFilter& f) {
  for (size_t r = from; r < nb; ++r) {
    const float lo = t.lo(r);
    if (lo > f.tau) continue;
    f.keep(static_cast<uint32_t>(first_row + r), lo, t.hi(r));
  }
}

#ifdef TAVRIN_HAVE_X86
// The same scans eight rows at a time; only the rows kept leave the vector
// registers. (The lower bounds may round differently from the scalar form:
// each form is within the bound on its own.)
#define TAVRIN_AVX2 __attribute__((target("avx2,fma")))

template <typename Terms>
TAVRIN_AVX2 inline void keep_mask(unsigned mask, __m256 lo, const Terms& t, size_t r,
                                  uint64_t first_row, UseFilter& f) {
  alignas(32) float los[8];
  _mm256_store_ps(los, lo);
  while (mask != 0) {
    const unsigned i = static_cast<unsigned>(__builtin_ctz(mask));
    mask &= mask - 1;
    // tau may have fallen since the comparison: keeping a row against an
    // older tau only keeps more.
    f.keep(static_cast<uint32_t>(first_row + r + i), los[i], t.hi(r + i));
  }
}

TAVRIN_AVX2 void scan_euclidean_avx2(const EuclideanTerms& t, size_t nb, uint64_t first_row,
                                     UseFilter& f) {
  const __m256 qn = _mm256_set1_ps(t.query_norm);
  const __m256 rel = _mm256_set1_ps(t.bound.relative);
  const __m256 abs = _mm256_set1_ps(t.bound.absolute);
  const __m256 two = _mm256_set1_ps(2.0f);
  size_t r = 0;
  for (; r + 8 <= nb; r += 8) {
    const __m256 sum = _mm256_add_ps(qn, _mm256_loadu_ps(t.row_norm + r));
    const __m256 a = _mm256_fnmadd_ps(two, _mm256_loadu_ps(t.g + r), sum);
    const __m256 lo = _mm256_sub_ps(a, _mm256_fmadd_ps(rel, sum, abs));
    const unsigned mask = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(lo, _mm256_set1_ps(f.tau), _CMP_NGT_UQ)));
    if (mask != 0) keep_mask(mask, lo, t, r, first_row, f);
  }
  scan_rows(t, r, nb, first_row, f);
}

TAVRIN_AVX2 void scan_cosine_avx2(const CosineTerms& t, size_t nb, uint64_t first_row,
                                  UseFilter& f) {
  const __m256 qi = _mm256_set1_ps(t.query_inverse);
  const __m256 e = _mm256_set1_ps(t.bound.relative);
  const __m256 one = _mm256_set1_ps(1.0f);
  size_t r = 0;
  for (; r + 8 <= nb; r += 8) {
    const __m256 w = _mm256_mul_ps(qi, _mm256_loadu_ps(t.row_inverse + r));
    const __m256 a = _mm256_fnmadd_ps(_mm256_loadu_ps(t.g + r), w, one);
    const __m256 lo = _mm256_sub_ps(a, e);
    const unsigned mask = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(lo, _mm256_set1_ps(f.tau), _CMP_NGT_UQ)));
    if (mask != 0) keep_mask(mask, lo, t, r, first_row, f);
  }
  scan_rows(t, r, nb, first_row, f);
}

bool have_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return yes;
}
#endif  // TAVRIN_HAVE_X86

void scan_euclidean(const EuclideanTerms& t, size_t nb, uint64_t first_row, UseFilter& f) {
#ifdef TAVRIN_HAVE_X86
  if (have_avx2()) return scan_euclidean_avx2(t, nb, first_row, f);
#endif
  scan_rows(t, 0, nb, first_row, f);
}

void scan_cosine(const CosineTerms& t, size_t nb, uint64_t first_row, UseFilter& f) {
#ifdef TAVRIN_HAVE_X86
  if (have_avx2()) return scan_cosine_avx2(t, nb, first_row, f);
#endif
  scan_rows(t, 0, nb, first_row, f);
}

// Per-thread buffers, allocated before the parallel region.
struct alignas(64) Scratch {
  std::vector<float> product;  // rows x queries, column-major
  std::vector<float> row_scratch;  // cosine_block's row norms
  std::vector<float> row_term;  // per row: nx, or 1 / |x| for cosine (NaN: unsafe)
  std::vector<float> chunk;    // the queries of a product, dimension by dimension
  std::vector<float> chunk_norm;  // nq, or 1 / |q| for cosine
  std::vector<float> exact_norm;  // per query of a pairwise group: nq
  std::vector<const float*> exact_rows;  // the query rows of a group or a chunk
  std::vector<float> bound_heap;  // per use: max-heap of the k smallest hi
  std::vector<uint32_t> heap_size;
  std::vector<std::vector<Survivor>> pending;  // per use, until the list is done
  std::vector<Survivor> arena;                 // survivors of every finished use
  std::vector<float> his;
  std::vector<Entry> heap;
  // The candidates select() rescores, in scan order.
  std::vector<const float*> rescore_rows;
  std::vector<uint64_t> rescore_keys;
  std::vector<float> rescore_values;
  std::vector<float> rescore_norms;
};

// What one search needs besides its inputs. Kept between searches so that
// its buffers are not fresh pages (one fault each) on every call.
struct Workspace {
  std::vector<Scratch> threads;
  std::vector<Span> spans;
  std::vector<Use> uses;

  size_t bytes() const {
    size_t total = spans.capacity() * sizeof(Span) + uses.capacity() * sizeof(Use);
    for (const Scratch& s : threads) {
      total += (s.product.capacity() + s.row_scratch.capacity() + s.row_term.capacity() +
                s.chunk.capacity() + s.bound_heap.capacity() + s.his.capacity()) *
                   sizeof(float) +
               s.arena.capacity() * sizeof(Survivor) + s.heap.capacity() * sizeof(Entry) +
               (s.rescore_values.capacity() + s.rescore_norms.capacity()) * sizeof(float) +
               s.rescore_rows.capacity() * sizeof(const float*) +
               s.rescore_keys.capacity() * sizeof(uint64_t);
      for (const auto& p : s.pending) total += p.capacity() * sizeof(Survivor);
    }
    return total;
  }
};

// One workspace per concurrent search; one that grew large is let go.
class WorkspacePool {
 public:
  std::unique_ptr<Workspace> acquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return std::make_unique<Workspace>();
    std::unique_ptr<Workspace> w = std::move(free_.back());
    free_.pop_back();
    return w;
  }
  void release(std::unique_ptr<Workspace> w) noexcept {
    if (w->bytes() > kKeptBytes) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(w));
  }

 private:
  static constexpr size_t kKept = 4;
  static constexpr size_t kKeptBytes = size_t{64} << 20;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Workspace>> free_;
};

WorkspacePool& workspace_pool() {
  static WorkspacePool* pool = new WorkspacePool();  // never destroyed: used at exit
  return *pool;
}

// Returns the workspace to the pool however the search ends.
struct WorkspaceLease {
  std::unique_ptr<Workspace> w = workspace_pool().acquire();
  ~WorkspaceLease() { workspace_pool().release(std::move(w)); }
};


// One call of matrix_search: the inputs, the workspace and the per-query
// bounds its scoring tasks and selections share. Each step is one member.
class MatrixSearch {
 public:
  MatrixSearch(const MatrixPlan& plan, const std::vector<CandidateList>& lists,
               const U32Matrix& probes, const FloatRowsView& queries, uint64_t k,
               DistanceMetric metric, bool with_metadata, SearchResults& results)
      : plan_(plan),
        lists_(lists),
        probes_(probes),
        queries_(queries),
        k_(k),
        with_metadata_(with_metadata),
        results_(results),
        d_(queries.cols),
        width_(probes.cols),
        cosine_(metric == kMetricCosine),
        root_(metric == kMetricEuclidean),
        bound_(rounding_bound(d_, metric)),
        less_{&lists},
        exact_rows_(std::max<size_t>(16, kExactBlockBytes / (d_ * sizeof(float)))) {}

  // Everything is allocated before the parallel region; what its bodies
  // throw comes back in index order.
  void run() {
    build_uses();
    build_tasks();
    prepare_scratch();
    reset_kth();
    g_product_pairs.fetch_add(product_pairs_, std::memory_order_relaxed);
    score_and_select();
  }

 private:
  // The members' uses of each list, in query then column order.
  void build_uses() {
    first_.assign(lists_.size() + 1, 0);
    for (uint32_t q : plan_.members) {
      for (size_t j = 0; j < width_; ++j) ++first_[probes_.row(q)[j] + 1];
    }
    for (size_t p = 0; p < lists_.size(); ++p) first_[p + 1] += first_[p];
    uses_ = &lease_.w->uses;
    uses_->resize(first_.back());
    std::vector<uint64_t> fill(first_.begin(), first_.end() - 1);
    for (uint32_t q : plan_.members) {
      for (size_t j = 0; j < width_; ++j) {
        (*uses_)[fill[probes_.row(q)[j]]++] = {q, static_cast<uint32_t>(j)};
      }
    }
  }

  // Runs of near-equal size, the costliest first for the dynamic schedule.
  void build_tasks() {
    for (size_t p = 0; p < lists_.size(); ++p) {
      const uint64_t m = first_[p + 1] - first_[p];
      if (m == 0) continue;
      const bool by_product = plan_.by_product[p] != 0;
      if (by_product) product_pairs_ += m;
      const uint64_t cap = by_product ? kMaxChunk : kMaxExactGroup;
      const uint64_t runs = (m + cap - 1) / cap;
      for (uint64_t r = 0; r < runs; ++r) {
        const uint64_t b = first_[p] + m * r / runs;
        const uint64_t e = first_[p] + m * (r + 1) / runs;
        tasks_.push_back({static_cast<uint32_t>(p), by_product, b, e, lists_[p].rows * (e - b)});
      }
    }
    std::stable_sort(tasks_.begin(), tasks_.end(),
                     [](const Task& a, const Task& b) { return a.cost > b.cost; });
  }

  void prepare_scratch() {
    const size_t threads = static_cast<size_t>(std::max(1, omp_get_max_threads()));
    scratch_ = &lease_.w->threads;
    scratch_->resize(threads);
    const uint64_t per_thread_pairs = uses_->size() / threads + 1;
    for (Scratch& s : *scratch_) {
      s.product.resize(std::max(kTileFloats, kMaxExactGroup * exact_rows_));
      s.row_scratch.resize(exact_rows_);
      s.row_term.resize(kTileFloats);
      s.chunk.resize(kMaxChunk * d_);
      s.chunk_norm.resize(kMaxChunk);
      s.exact_norm.resize(kMaxExactGroup);
      s.exact_rows.resize(std::max(kMaxExactGroup, kMaxChunk));
      s.bound_heap.resize(kMaxChunk * k_);
      s.heap_size.resize(kMaxChunk);
      s.pending.resize(kMaxChunk);
      // Typical sizes; the buffers grow (inside the error guard) past them.
      for (auto& p : s.pending) p.reserve(std::min<uint64_t>(4 * k_ + 64, 256));
      s.arena.clear();
      s.arena.reserve(per_thread_pairs * std::min<uint64_t>(k_ + 8, 64));
      s.his.reserve(width_ * std::min<uint64_t>(k_ + 8, 64));
      s.heap.reserve(k_);
      const uint64_t rescored = std::min<uint64_t>(k_ + 8, 64);
      s.rescore_rows.reserve(rescored);
      s.rescore_keys.reserve(rescored);
      s.rescore_values.reserve(rescored);
      s.rescore_norms.reserve(rescored);
    }
    spans_ = &lease_.w->spans;
    spans_->resize(probes_.rows * width_);
  }

  // Per query: the smallest k-th hi any of its lists has reached. Read and
  // lowered by every thread; a stale value only keeps more rows.
  void reset_kth() {
    query_kth_.reset(new std::atomic<float>[probes_.rows]);
    for (uint32_t q : plan_.members) query_kth_[q].store(kInf, std::memory_order_relaxed);
  }

  void lower_kth(uint32_t q, float v) {
    float now = query_kth_[q].load(std::memory_order_relaxed);
    while (v < now && !query_kth_[q].compare_exchange_weak(now, v, std::memory_order_relaxed)) {
    }
  }

  UseFilter filter_of(Scratch& s, size_t c, const Use& use) const {
    UseFilter f{0.0f, query_kth_[use.query].load(std::memory_order_relaxed), s.heap_size[c], k_,
                s.bound_heap.data() + c * k_, &s.pending[c]};
    f.tau = std::min(f.shared, f.own_kth());
    return f;
  }

  static void store_filter(Scratch& s, size_t c, const UseFilter& f) { s.heap_size[c] = f.size; }

  static void start_uses(Scratch& s, size_t m) {
    for (size_t c = 0; c < m; ++c) {
      s.heap_size[c] = 0;
      s.pending[c].clear();
    }
  }

  // Keeps what can still reach the query's k-th smallest hi.
  void finish(Scratch& s, size_t t, size_t c, const Use& use) {
    const UseFilter f = filter_of(s, c, use);
    lower_kth(use.query, f.own_kth());
    const float tau = std::min(f.tau, query_kth_[use.query].load(std::memory_order_relaxed));
    Span& span = (*spans_)[uint64_t{use.query} * width_ + use.column];
    span.thread = static_cast<uint32_t>(t);
    span.begin = s.arena.size();
    for (const Survivor& v : s.pending[c]) {
      if (!(v.lo > tau)) s.arena.push_back(v);
    }
    span.count = static_cast<uint32_t>(s.arena.size() - span.begin);
    s.pending[c].clear();
  }

  void score_by_product(Scratch& s, size_t t, const Task& task) {
    const CandidateList& list = lists_[task.list];
    const size_t m = task.use_end - task.use_begin;
    const Use* use = uses_->data() + task.use_begin;
    start_uses(s, m);
    // The chunk dimension by dimension, its width padded to the kernel's
    // eight lanes with zero queries.
    const size_t m_pad = (m + 7) / 8 * 8;
    for (size_t c = 0; c < m; ++c) {
      s.exact_rows[c] = queries_.row(use[c].query);
      const float nq = plan_.query_norms[use[c].query];
      s.chunk_norm[c] = cosine_ ? 1.0f / std::sqrt(nq) : nq;
    }
    interleave_queries(s.exact_rows.data(), m, d_, s.chunk.data());
    // Blocks of rows in multiples of eight whose products fit the buffer.
    const size_t block = std::max<size_t>(8, kTileFloats / m_pad / 8 * 8);
    for (uint64_t r0 = 0; r0 < list.rows; r0 += block) {
      const size_t nb = static_cast<size_t>(std::min<uint64_t>(block, list.rows - r0));
      const size_t stride = (nb + 7) / 8 * 8;
      const float* x = list.vectors + r0 * d_;
      if (list.sq_norms != nullptr) {
        std::copy(list.sq_norms + r0, list.sq_norms + r0 + nb, s.row_term.data());
      } else {
        squared_norms(x, nb, d_, s.row_term.data());
      }
      for (size_t r = 0; r < nb; ++r) {
        const float nx = s.row_term[r];
        const bool ok = nx <= kMaxSqNorm && (!cosine_ || nx >= kMinCosineSqNorm);
        s.row_term[r] = !ok ? kNaN : cosine_ ? 1.0f / std::sqrt(nx) : nx;
      }
      // product(r, c) = x_r . q_c, at c * stride + r.
      if (!row_query_products(x, nb, d_, s.chunk.data(), m_pad, s.product.data(), stride)) {
        // The rows as a d x nb column-major matrix, transposed, times the
        // chunk (an m_pad x d column-major matrix), transposed. Inside the
        // parallel region the OpenMP build of OpenBLAS runs on the calling
        // thread only.
        const arma::blas_int bm = static_cast<arma::blas_int>(nb);
        const arma::blas_int bn = static_cast<arma::blas_int>(m);
        const arma::blas_int bk = static_cast<arma::blas_int>(d_);
        const arma::blas_int ldb = static_cast<arma::blas_int>(m_pad);
        const arma::blas_int ldc = static_cast<arma::blas_int>(stride);
        const float one = 1.0f, zero = 0.0f;
        arma::blas::gemm<float>("T", "T", &bm, &bn, &bk, &one, x, &bk, s.chunk.data(), &ldb,
                                &zero, s.product.data(), &ldc);
      }
      for (size_t c = 0; c < m; ++c) {
        const float* g = s.product.data() + c * stride;
        UseFilter f = filter_of(s, c, use[c]);
        if (cosine_) {
          scan_cosine({g, s.row_term.data(), s.chunk_norm[c], bound_}, nb, r0, f);
        } else {
          scan_euclidean({g, s.row_term.data(), s.chunk_norm[c], bound_}, nb, r0, f);
        }
        store_filter(s, c, f);
      }
    }
    for (size_t c = 0; c < m; ++c) finish(s, t, c, use[c]);
  }

  // Lists that few members share: the pairwise kernels give P itself.
  void score_pairwise(Scratch& s, size_t t, const Task& task) {
    const CandidateList& list = lists_[task.list];
    const size_t m = task.use_end - task.use_begin;
    const Use* use = uses_->data() + task.use_begin;
    start_uses(s, m);
    for (size_t c = 0; c < m; ++c) {
      s.exact_rows[c] = queries_.row(use[c].query);
      s.exact_norm[c] = plan_.query_norms[use[c].query];
    }
    for (uint64_t r0 = 0; r0 < list.rows; r0 += exact_rows_) {
      const size_t nb = static_cast<size_t>(std::min<uint64_t>(exact_rows_, list.rows - r0));
      const float* x = list.vectors + r0 * d_;
      if (cosine_) {
        cosine_block(s.exact_rows.data(), s.exact_norm.data(), m, x, nb, d_, s.product.data(),
                     exact_rows_, s.row_scratch.data());
      } else {
        squared_euclidean_block(s.exact_rows.data(), m, x, nb, d_, s.product.data(), exact_rows_);
      }
      for (size_t c = 0; c < m; ++c) {
        UseFilter f = filter_of(s, c, use[c]);
        scan_rows(ExactTerms{s.product.data() + c * exact_rows_}, 0, nb, r0, f);
        store_filter(s, c, f);
      }
    }
    for (size_t c = 0; c < m; ++c) finish(s, t, c, use[c]);
  }

  // Rescores every survivor whose lo is not above the query's k-th smallest
  // hi and offers them in scan order. That ends with the pairwise path's
  // selection. Let T be the k-th smallest pairwise value of the query's
  // candidates (NaN last). k candidates have values at most their hi, so T
  // is not above the cut, and every candidate with a value <= T is offered.
  // In the pairwise scan, the held entries with values <= T change the same
  // way whether or not the candidates above T are offered: such a candidate
  // enters only when the largest held value is above it, hence above T, and
  // then an entry above T leaves; an entry <= T is refused, or is the one
  // that leaves, only when all k held values are <= T, the same state in
  // both scans. The final selection holds no value above T, so offering the
  // candidates <= T (and any others) in scan order ends with the same
  // entries, ties and first-scanned rule included.
  void select(Scratch& s, uint32_t q) {
    const std::vector<Scratch>& scratch = *scratch_;
    const Span* own = spans_->data() + uint64_t{q} * width_;
    s.his.clear();
    for (size_t j = 0; j < width_; ++j) {
      const Survivor* v = scratch[own[j].thread].arena.data() + own[j].begin;
      for (uint32_t i = 0; i < own[j].count; ++i) {
        if (!std::isnan(v[i].hi)) s.his.push_back(v[i].hi);
      }
    }
    float cut = kInf;
    if (s.his.size() >= k_) {
      std::nth_element(s.his.begin(), s.his.begin() + (k_ - 1), s.his.end());
      cut = s.his[k_ - 1];
    }
    s.rescore_rows.clear();
    s.rescore_keys.clear();
    for (size_t j = 0; j < width_; ++j) {
      const uint32_t l = probes_.row(q)[j];
      const float* vectors = lists_[l].vectors;
      const Survivor* v = scratch[own[j].thread].arena.data() + own[j].begin;
      for (uint32_t i = 0; i < own[j].count; ++i) {
        if (v[i].lo > cut) continue;
        s.rescore_rows.push_back(vectors + uint64_t{v[i].row} * d_);
        s.rescore_keys.push_back(selection::row_key(l, v[i].row));
      }
    }
    // The pairwise values, all rows at once: they lie all over the batch's
    // lists, mostly out of cache, and are fetched together.
    const size_t n = s.rescore_rows.size();
    s.rescore_values.resize(n);
    const float* qrow = queries_.row(q);
    if (cosine_) {
      s.rescore_norms.resize(n);
      cosine_scattered(qrow, plan_.query_norms[q], s.rescore_rows.data(), n, d_,
                       s.rescore_values.data(), s.rescore_norms.data());
    } else {
      squared_euclidean_scattered(qrow, s.rescore_rows.data(), n, d_, s.rescore_values.data());
    }
    s.heap.clear();
    for (size_t i = 0; i < n; ++i) {
      selection::offer(s.heap, k_, &s.rescore_values[i], 1, s.rescore_keys[i], less_);
    }
    selection::write_selection(s.heap, q, root_, with_metadata_, less_, results_);
  }

  // Every task, then every member's selection, on the OpenMP team.
  void score_and_select() {
    OrderedErrors scoring_errors, selection_errors;
    const int64_t n_tasks = static_cast<int64_t>(tasks_.size());
    const int64_t n_members = static_cast<int64_t>(plan_.members.size());
#pragma omp parallel
    {
      const size_t t = static_cast<size_t>(omp_get_thread_num());
      Scratch& s = (*scratch_)[t];
#pragma omp for schedule(dynamic, 1)
      for (int64_t i = 0; i < n_tasks; ++i) {
        scoring_errors.run(static_cast<size_t>(i), [&] {
          const Task& task = tasks_[i];
          if (task.by_product) {
            score_by_product(s, t, task);
          } else {
            score_pairwise(s, t, task);
          }
        });
      }
      // The barrier above: every span is written before any is read.
#pragma omp for schedule(dynamic, 4)
      for (int64_t i = 0; i < n_members; ++i) {
        if (scoring_errors.failed()) continue;
        selection_errors.run(static_cast<size_t>(i), [&] { select(s, plan_.members[i]); });
      }
    }
    scoring_errors.rethrow();
    selection_errors.rethrow();
  }

  const MatrixPlan& plan_;
  const std::vector<CandidateList>& lists_;
  const U32Matrix& probes_;
  const FloatRowsView& queries_;
  const uint64_t k_;
  const bool with_metadata_;
  SearchResults& results_;
  const size_t d_;
  const size_t width_;
  const bool cosine_;
  const bool root_;
  const Bound bound_;
  const TripleLess less_;
  // Candidate rows per pass of the pairwise kernels.
  const size_t exact_rows_;

  std::vector<uint64_t> first_;  // per list: where its uses start; one past the end last
  std::vector<Task> tasks_;
  uint64_t product_pairs_ = 0;
  std::unique_ptr<std::atomic<float>[]> query_kth_;
  WorkspaceLease lease_;
  // Parts of the leased workspace.
  std::vector<Use>* uses_ = nullptr;
  std::vector<Scratch>* scratch_ = nullptr;
  std::vector<Span>* spans_ = nullptr;
};

}  // namespace

void set_list_scoring(ListScoring scoring) {
  g_scoring.store(static_cast<int>(scoring), std::memory_order_relaxed);
}

ListScoring list_scoring() {
  return static_cast<ListScoring>(g_scoring.load(std::memory_order_relaxed));
}

uint64_t product_scored_pairs() { return g_product_pairs.load(std::memory_order_relaxed); }

MatrixPlan plan_matrix_search(const std::vector<CandidateList>& lists, const U32Matrix& probes,
                              const FloatRowsView& queries, uint64_t k, DistanceMetric metric,
                              ListScoring scoring) {
  MatrixPlan plan;
  const uint64_t n = probes.rows;
  const uint64_t width = probes.cols;
  const uint64_t d = queries.cols;
  const bool cosine = metric == kMetricCosine;
  const bool possible = scoring != ListScoring::kPairwise && width > 0 && d > 0 && d <= kMaxDim &&
                        (scoring == ListScoring::kMatrix || k <= kMaxAutoTopK);
  if (!possible) {
    plan.others.resize(n);
    for (uint64_t q = 0; q < n; ++q) plan.others[q] = static_cast<uint32_t>(q);
    return plan;
  }
  // Non-finite or extreme queries keep the pairwise path: a product would
  // spread their NaN or overflow over every candidate.
  plan.query_norms.resize(n);
  std::vector<uint8_t> safe(n);
  std::vector<uint64_t> uses(lists.size(), 0);
  for (uint64_t q = 0; q < n; ++q) {
    const float nq = squared_norm(queries.row(q), d);
    plan.query_norms[q] = nq;
    safe[q] = nq <= kMaxSqNorm && (!cosine || nq >= kMinCosineSqNorm);
    if (!safe[q]) continue;
    for (uint64_t j = 0; j < width; ++j) ++uses[probes.row(q)[j]];
  }
  plan.by_product.resize(lists.size());
  const uint64_t min_uses = scoring == ListScoring::kMatrix ? 1 : kMinSharing;
  for (size_t p = 0; p < lists.size(); ++p) {
    plan.by_product[p] = lists[p].rows > 0 && uses[p] >= min_uses;
  }
  for (uint64_t q = 0; q < n; ++q) {
    bool member = false;
    for (uint64_t j = 0; safe[q] && j < width && !member; ++j) {
      member = plan.by_product[probes.row(q)[j]] != 0;
    }
    (member ? plan.members : plan.others).push_back(static_cast<uint32_t>(q));
  }
  return plan;
}

void matrix_search(const MatrixPlan& plan, const std::vector<CandidateList>& lists,
                   const U32Matrix& probes, const FloatRowsView& queries, uint64_t k,
                   DistanceMetric metric, bool with_metadata, SearchResults& results) {
  if (plan.members.empty()) return;
  MatrixSearch(plan, lists, probes, queries, k, metric, with_metadata, results).run();
}

}  // namespace tavrin
