#include "search/distance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRIN_HAVE_X86 1
#endif

namespace tavrin {
namespace {

// ---- Portable kernels -----------------------------------------------------
// Sixteen independent lanes let the compiler keep several vector
// accumulators busy at the baseline instruction set. Each sum has one lane
// layout, used by every entry point, so a pair gets the same bits whichever
// function computes it.
constexpr size_t kLanes = 16;

inline float lane_sum(const float* acc) {
  float s8[8];
  for (size_t j = 0; j < 8; ++j) s8[j] = acc[j] + acc[j + 8];
  float s4[4];
  for (size_t j = 0; j < 4; ++j) s4[j] = s8[j] + s8[j + 4];
  return (s4[0] + s4[2]) + (s4[1] + s4[3]);
}

inline float sq_portable(const float* q, const float* x, size_t d) {
  float acc[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= d; i += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) {
      const float t = q[i + j] - x[i + j];
      acc[j] += t * t;
    }
  }
  float s = lane_sum(acc);
  for (; i < d; ++i) {
    const float t = q[i] - x[i];
    s += t * t;
  }
  return s;
}

inline float dot_portable(const float* q, const float* x, size_t d) {
  float acc[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= d; i += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) acc[j] += q[i + j] * x[i + j];
  }
  float s = lane_sum(acc);
  for (; i < d; ++i) s += q[i] * x[i];
  return s;
}

void sq_block_portable(const float* const* qs, size_t nq, const float* rows, size_t n, size_t d,
                       float* out, size_t stride) {
  for (size_t r = 0; r < n; ++r) {
    const float* x = rows + r * d;
    for (size_t g = 0; g < nq; ++g) out[g * stride + r] = sq_portable(qs[g], x, d);
  }
}

void dot_block_portable(const float* const* qs, size_t nq, const float* rows, size_t n, size_t d,
                        float* out, size_t stride, float* norms) {
  for (size_t r = 0; r < n; ++r) {
    const float* x = rows + r * d;
    norms[r] = dot_portable(x, x, d);
    for (size_t g = 0; g < nq; ++g) out[g * stride + r] = dot_portable(qs[g], x, d);
  }
}

void sq_scattered_portable(const float* q, const float* const* rows, size_t n, size_t d,
                           float* out) {
  for (size_t r = 0; r < n; ++r) out[r] = sq_portable(q, rows[r], d);
}

void dot_scattered_portable(const float* q, const float* const* rows, size_t n, size_t d,
                            float* out, float* norms) {
  for (size_t r = 0; r < n; ++r) {
    norms[r] = dot_portable(rows[r], rows[r], d);
    out[r] = dot_portable(q, rows[r], d);
  }
}

// The scan first_min describes, as written.
uint32_t first_min_portable(const float* x, size_t n) {
  uint32_t best = 0;
  for (size_t c = 1; c < n; ++c) {
    if (x[c] < x[best]) best = static_cast<uint32_t>(c);
  }
  return best;
}

#ifdef TAVRIN_HAVE_X86
// ---- AVX2 + FMA kernels ---------------------------------------------------
// Every (query, row) pair has one 8-lane accumulator over the 8-float chunks
// in order, then a fixed lane reduction ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)),
// then the leftover dimensions one by one with a fused multiply-add. Kernels
// work on tiles of R rows x Q queries (R * Q = 8 in the hot loop): a tile
// loads each chunk of its rows and queries once, keeps eight independent
// FMA chains in flight and reduces its eight sums with one transposition.
// Whatever tile computes a pair, the bits are the same.
#define TAVRIN_AVX2 __attribute__((target("avx2,fma")))

// Lane i of the result is the reduction of accumulator i.
TAVRIN_AVX2 inline __m256 reduce8(const __m256* a) {
  const __m256 t0 = _mm256_hadd_ps(a[0], a[1]);
  const __m256 t1 = _mm256_hadd_ps(a[2], a[3]);
  const __m256 t2 = _mm256_hadd_ps(a[4], a[5]);
  const __m256 t3 = _mm256_hadd_ps(a[6], a[7]);
  const __m256 u0 = _mm256_hadd_ps(t0, t1);
  const __m256 u1 = _mm256_hadd_ps(t2, t3);
  return _mm256_add_ps(_mm256_permute2f128_ps(u0, u1, 0x20), _mm256_permute2f128_ps(u0, u1, 0x31));
}

TAVRIN_AVX2 inline float reduce1(__m256 a) {
  const __m256 t = _mm256_hadd_ps(a, a);
  const __m256 u = _mm256_hadd_ps(t, t);
  return _mm_cvtss_f32(_mm_add_ss(_mm256_castps256_ps128(u), _mm256_extractf128_ps(u, 1)));
}

// Scalar terms with an explicit fused multiply-add, so that no compiler
// choice about contraction can make two call sites differ.
TAVRIN_AVX2 inline float sq_tail(float s, float a, float b) {
  const __m128 t = _mm_sub_ss(_mm_set_ss(a), _mm_set_ss(b));
  return _mm_cvtss_f32(_mm_fmadd_ss(t, t, _mm_set_ss(s)));
}
TAVRIN_AVX2 inline float dot_tail(float s, float a, float b) {
  return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a), _mm_set_ss(b), _mm_set_ss(s)));
}

// Where a tile's rows lie: consecutive (row stride d), or anywhere.
struct Strided {
  const float* x;
  size_t d;
  const float* operator()(int r) const { return x + r * d; }
};
struct Scattered {
  const float* const* x;
  const float* operator()(int r) const { return x[r]; }
};

// Sums for R rows against Q queries; pair (query g, row r) goes to
// out[g * stride + r]. kSquared picks sum (q-x)^2, otherwise sum q*x.
template <bool kSquared, int R, int Q, typename Rows>
TAVRIN_AVX2 inline void tile(const float* const* q, Rows x, size_t d, float* out, size_t stride) {
  __m256 acc[R * Q];
#pragma GCC unroll 8
  for (int j = 0; j < R * Q; ++j) acc[j] = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    __m256 xr[R];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) xr[r] = _mm256_loadu_ps(x(r) + i);
#pragma GCC unroll 8
    for (int g = 0; g < Q; ++g) {
      const __m256 qv = _mm256_loadu_ps(q[g] + i);
#pragma GCC unroll 8
      for (int r = 0; r < R; ++r) {
        if (kSquared) {
          const __m256 t = _mm256_sub_ps(qv, xr[r]);
          acc[g * R + r] = _mm256_fmadd_ps(t, t, acc[g * R + r]);
        } else {
          acc[g * R + r] = _mm256_fmadd_ps(qv, xr[r], acc[g * R + r]);
        }
      }
    }
  }
  alignas(32) float sums[8];
  if (R * Q == 8) {
    _mm256_store_ps(sums, reduce8(acc));
  } else {
#pragma GCC unroll 8
    for (int j = 0; j < R * Q; ++j) sums[j] = reduce1(acc[j]);
  }
  for (int g = 0; g < Q; ++g) {
    for (int r = 0; r < R; ++r) {
      float s = sums[g * R + r];
      const float* xv = x(r);
      for (size_t t = i; t < d; ++t) {
        s = kSquared ? sq_tail(s, q[g][t], xv[t]) : dot_tail(s, q[g][t], xv[t]);
      }
      out[g * stride + r] = s;
    }
  }
}

// |x_r|^2 for R rows, as tile<false, 1, 1>(x_r, x_r) would give.
template <int R, typename Rows>
TAVRIN_AVX2 inline void self_tile(Rows x, size_t d, float* out) {
  __m256 acc[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m256 v = _mm256_loadu_ps(x(r) + i);
      acc[r] = _mm256_fmadd_ps(v, v, acc[r]);
    }
  }
  alignas(32) float sums[8];
  if (R == 8) {
    _mm256_store_ps(sums, reduce8(acc));
  } else {
    for (int r = 0; r < R; ++r) sums[r] = reduce1(acc[r]);
  }
  for (int r = 0; r < R; ++r) {
    float s = sums[r];
    const float* xv = x(r);
    for (size_t t = i; t < d; ++t) s = dot_tail(s, xv[t], xv[t]);
    out[r] = s;
  }
}

template <bool kSquared>
TAVRIN_AVX2 void block_avx2(const float* const* qs, size_t nq, const float* rows, size_t n,
                            size_t d, float* out, size_t stride) {
  size_t g = 0;
  for (; g + 4 <= nq; g += 4) {
    float* o = out + g * stride;
    size_t r = 0;
    for (; r + 2 <= n; r += 2) {
      tile<kSquared, 2, 4>(qs + g, Strided{rows + r * d, d}, d, o + r, stride);
    }
    for (; r < n; ++r) tile<kSquared, 1, 4>(qs + g, Strided{rows + r * d, d}, d, o + r, stride);
  }
  for (; g < nq; ++g) {
    float* o = out + g * stride;
    size_t r = 0;
    for (; r + 8 <= n; r += 8) {
      tile<kSquared, 8, 1>(qs + g, Strided{rows + r * d, d}, d, o + r, stride);
    }
    for (; r < n; ++r) tile<kSquared, 1, 1>(qs + g, Strided{rows + r * d, d}, d, o + r, stride);
  }
}

TAVRIN_AVX2 void sq_block_avx2(const float* const* qs, size_t nq, const float* rows, size_t n,
                               size_t d, float* out, size_t stride) {
  block_avx2<true>(qs, nq, rows, n, d, out, stride);
}

TAVRIN_AVX2 void dot_block_avx2(const float* const* qs, size_t nq, const float* rows, size_t n,
                                size_t d, float* out, size_t stride, float* norms) {
  size_t r = 0;
  for (; r + 8 <= n; r += 8) self_tile<8>(Strided{rows + r * d, d}, d, norms + r);
  for (; r < n; ++r) self_tile<1>(Strided{rows + r * d, d}, d, norms + r);
  block_avx2<false>(qs, nq, rows, n, d, out, stride);
}

TAVRIN_AVX2 void norms_avx2(const float* rows, size_t n, size_t d, float* out) {
  size_t r = 0;
  for (; r + 8 <= n; r += 8) self_tile<8>(Strided{rows + r * d, d}, d, out + r);
  for (; r < n; ++r) self_tile<1>(Strided{rows + r * d, d}, d, out + r);
}

// One query against rows anywhere: eight rows a tile, so that eight rows'
// misses are in flight at once.
TAVRIN_AVX2 void sq_scattered_avx2(const float* q, const float* const* rows, size_t n, size_t d,
                                   float* out) {
  size_t r = 0;
  for (; r + 8 <= n; r += 8) tile<true, 8, 1>(&q, Scattered{rows + r}, d, out + r, 1);
  for (; r < n; ++r) tile<true, 1, 1>(&q, Scattered{rows + r}, d, out + r, 1);
}

TAVRIN_AVX2 void dot_scattered_avx2(const float* q, const float* const* rows, size_t n, size_t d,
                                    float* out, float* norms) {
  size_t r = 0;
  for (; r + 8 <= n; r += 8) {
    self_tile<8>(Scattered{rows + r}, d, norms + r);
    tile<false, 8, 1>(&q, Scattered{rows + r}, d, out + r, 1);
  }
  for (; r < n; ++r) {
    self_tile<1>(Scattered{rows + r}, d, norms + r);
    tile<false, 1, 1>(&q, Scattered{rows + r}, d, out + r, 1);
  }
}

TAVRIN_AVX2 float sq_one_avx2_fn(const float* q, const float* x, size_t d) {
  float s;
  tile<true, 1, 1>(&q, Strided{x, d}, d, &s, 1);
  return s;
}
TAVRIN_AVX2 float dot_one_avx2_fn(const float* q, const float* x, size_t d) {
  float s;
  tile<false, 1, 1>(&q, Strided{x, d}, d, &s, 1);
  return s;
}
// The minimum over the non-NaN values (MINPS keeps its second operand when
// either is NaN, so the accumulator, seeded non-NaN, skips them), then the
// first position holding it.
TAVRIN_AVX2 uint32_t first_min_avx2(const float* x, size_t n) {
  if (n < 16 || std::isnan(x[0])) return first_min_portable(x, n);
  __m256 acc = _mm256_set1_ps(x[0]);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) acc = _mm256_min_ps(_mm256_loadu_ps(x + i), acc);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc);
  float m = lanes[0];
  for (int l = 1; l < 8; ++l) m = lanes[l] < m ? lanes[l] : m;
  for (; i < n; ++i) m = x[i] < m ? x[i] : m;
  const __m256 target = _mm256_set1_ps(m);
  for (i = 0; i + 8 <= n; i += 8) {
    const int hit = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(x + i), target, _CMP_EQ_OQ));
    if (hit != 0) return static_cast<uint32_t>(i + __builtin_ctz(static_cast<unsigned>(hit)));
  }
  for (; i < n; ++i) {
    if (x[i] == m) return static_cast<uint32_t>(i);
  }
  return 0;  // not reached: m is one of the values
}

// ---- Row x query products ---------------------------------------------------
// Eight rows against eight queries at a time: each row value is broadcast
// against a vector of eight queries' values of the same dimension, so the
// rows are read where they lie, without the copy a matrix library makes
// first. The list rows come from main memory once per batch, and the
// hardware prefetcher alone leaves the FMAs waiting on them: the first pass
// over a step's rows prefetches, one line per row and 16 dimensions, the
// rows kProductAhead steps on.
constexpr size_t kProductAhead = 4;

TAVRIN_AVX2 inline void transpose8(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Dimensions [from, to) of one 8 x 8 tile into acc (acc[i]: row i against
// the eight queries at q).
TAVRIN_AVX2 inline void product_steps(const float* const* rows, const float* q, size_t stride,
                                      size_t from, size_t to, __m256* acc) {
  for (size_t k = from; k < to; ++k) {
    const __m256 qv = _mm256_loadu_ps(q + k * stride);
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      acc[i] = _mm256_fmadd_ps(_mm256_broadcast_ss(rows[i] + k), qv, acc[i]);
    }
  }
}

// Eight queries by eight dimensions at a time: eight row loads, one
// transposition, eight stores; scattered single-float copies stall on the
// first touch of every line of every query.
TAVRIN_AVX2 void interleave_avx2(const float* const* queries, size_t m, size_t d, float* out) {
  const size_t m_pad = (m + 7) / 8 * 8;
  for (size_t c0 = 0; c0 < m_pad; c0 += 8) {
    const size_t lanes = std::min<size_t>(8, m - c0);
    size_t i0 = 0;
    for (; i0 + 8 <= d; i0 += 8) {
      __m256 v[8];
      for (size_t j = 0; j < 8; ++j) {
        v[j] = j < lanes ? _mm256_loadu_ps(queries[c0 + j] + i0) : _mm256_setzero_ps();
      }
      transpose8(v);
      for (size_t t = 0; t < 8; ++t) _mm256_storeu_ps(out + (i0 + t) * m_pad + c0, v[t]);
    }
    for (; i0 < d; ++i0) {
      for (size_t j = 0; j < 8; ++j) {
        out[i0 * m_pad + c0 + j] = j < lanes ? queries[c0 + j][i0] : 0.0f;
      }
    }
  }
}

// The eight rows of the tile at r0 (a short last tile repeats its last row)
// and the rows kProductAhead tiles on, which the first pass prefetches.
struct RowTile {
  const float* rows[8];
  const float* next;
  size_t ahead_rows;
  size_t d;

  RowTile(const float* x, size_t n, size_t width, size_t r0) : d(width) {
    for (size_t i = 0; i < 8; ++i) rows[i] = x + std::min(r0 + i, n - 1) * d;
    const size_t ahead = r0 + 8 * kProductAhead;
    ahead_rows = ahead < n ? std::min<size_t>(8, n - ahead) : 0;
    next = x + ahead * d;
  }
  // Whether a pass prefetches: the first over the tile, when rows lie ahead.
  // Its dimensions then run a line (16 floats) at a time, others' at once.
  bool prefetches(bool first) const { return first && ahead_rows > 0; }
  void prefetch(size_t k) const {
    for (size_t i = 0; i < ahead_rows; ++i) {
      _mm_prefetch(reinterpret_cast<const char*>(next + i * d + k), _MM_HINT_T0);
    }
  }
};

// Eight queries (from q) against the tile, into out rows 0..7 at column r0.
TAVRIN_AVX2 inline void product_tile8(const RowTile& t, const float* q, size_t m_pad,
                                      bool prefetch, float* out, size_t out_stride, size_t r0) {
  __m256 acc[8];
  for (int i = 0; i < 8; ++i) acc[i] = _mm256_setzero_ps();
  const bool ahead = t.prefetches(prefetch);
  const size_t step = ahead ? 16 : t.d;
  for (size_t k = 0; k < t.d; k += step) {
    if (ahead) t.prefetch(k);
    product_steps(t.rows, q, m_pad, k, std::min(t.d, k + step), acc);
  }
  transpose8(acc);
  for (size_t c = 0; c < 8; ++c) _mm256_storeu_ps(out + c * out_stride + r0, acc[c]);
}

TAVRIN_AVX2 bool products_avx2(const float* x, size_t n, size_t d, const float* queries,
                               size_t m_pad, float* out, size_t out_stride) {
  for (size_t r0 = 0; r0 < n; r0 += 8) {
    const RowTile t(x, n, d, r0);
    for (size_t c0 = 0; c0 < m_pad; c0 += 8) {
      product_tile8(t, queries + c0, m_pad, c0 == 0, out + c0 * out_stride, out_stride, r0);
    }
  }
  return true;
}

// Sixteen queries a vector where the CPU has 512-bit registers: one query
// load and eight row broadcasts feed sixteen lanes instead of eight, and the
// eight accumulators cover the multiply-add latency twice over. The sums run
// in the same order as the eight-query tile's, so the products are the same
// bits; a last group of eight queries goes through that tile.
#define TAVRIN_AVX512 __attribute__((target("avx512f,avx2,fma")))

TAVRIN_AVX512 inline void product_steps16(const float* const* rows, const float* q, size_t stride,
                                          size_t from, size_t to, __m512* acc) {
  for (size_t k = from; k < to; ++k) {
    const __m512 qv = _mm512_loadu_ps(q + k * stride);
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) acc[i] = _mm512_fmadd_ps(_mm512_set1_ps(rows[i][k]), qv, acc[i]);
  }
}

TAVRIN_AVX512 bool products_avx512(const float* x, size_t n, size_t d, const float* queries,
                                   size_t m_pad, float* out, size_t out_stride) {
  for (size_t r0 = 0; r0 < n; r0 += 8) {
    const RowTile t(x, n, d, r0);
    size_t c0 = 0;
    for (; c0 + 16 <= m_pad; c0 += 16) {
      __m512 acc[8];
      for (int i = 0; i < 8; ++i) acc[i] = _mm512_setzero_ps();
      const bool ahead = t.prefetches(c0 == 0);
      const size_t step = ahead ? 16 : d;
      for (size_t k = 0; k < d; k += step) {
        if (ahead) t.prefetch(k);
        product_steps16(t.rows, queries + c0, m_pad, k, std::min(d, k + step), acc);
      }
      // The zero-masked extraction: GCC 12 warns on the plain one's
      // undefined source operand.
      __m256 lo[8], hi[8];
      for (int i = 0; i < 8; ++i) {
        const __m512d a = _mm512_castps_pd(acc[i]);
        lo[i] = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, a, 0));
        hi[i] = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, a, 1));
      }
      transpose8(lo);
      transpose8(hi);
      for (size_t c = 0; c < 8; ++c) {
        _mm256_storeu_ps(out + (c0 + c) * out_stride + r0, lo[c]);
        _mm256_storeu_ps(out + (c0 + 8 + c) * out_stride + r0, hi[c]);
      }
    }
    if (c0 < m_pad) {  // the last eight
      product_tile8(t, queries + c0, m_pad, c0 == 0, out + c0 * out_stride, out_stride, r0);
    }
  }
  return true;
}
#endif  // TAVRIN_HAVE_X86

void norms_portable(const float* rows, size_t n, size_t d, float* out) {
  for (size_t r = 0; r < n; ++r) out[r] = dot_portable(rows + r * d, rows + r * d, d);
}

float sq_portable_fn(const float* q, const float* x, size_t d) { return sq_portable(q, x, d); }
float dot_portable_fn(const float* q, const float* x, size_t d) { return dot_portable(q, x, d); }
bool products_none(const float*, size_t, size_t, const float*, size_t, float*, size_t) {
  return false;
}
void interleave_portable(const float* const* queries, size_t m, size_t d, float* out) {
  const size_t m_pad = (m + 7) / 8 * 8;
  for (size_t i = 0; i < d; ++i) {
    for (size_t c = 0; c < m_pad; ++c) *out++ = c < m ? queries[c][i] : 0.0f;
  }
}

inline float cosine_from_sums(float dot, float nq, float nx) {
  const float den = std::sqrt(nq) * std::sqrt(nx);
  return den != 0.0f ? 1.0f - dot / den : 1.0f;
}

struct Kernels {
  void (*sq_block)(const float* const*, size_t, const float*, size_t, size_t, float*, size_t);
  void (*dot_block)(const float* const*, size_t, const float*, size_t, size_t, float*, size_t,
                    float*);
  float (*sq_one)(const float*, const float*, size_t);
  float (*dot_one)(const float*, const float*, size_t);
  void (*norms)(const float*, size_t, size_t, float*);
  uint32_t (*first_min)(const float*, size_t);
  bool (*products)(const float*, size_t, size_t, const float*, size_t, float*, size_t);
  void (*interleave)(const float* const*, size_t, size_t, float*);
  void (*sq_scattered)(const float*, const float* const*, size_t, size_t, float*);
  void (*dot_scattered)(const float*, const float* const*, size_t, size_t, float*, float*);
  const char* name;
};

constexpr Kernels kPortableKernels = {sq_block_portable, dot_block_portable, sq_portable_fn,
                                      dot_portable_fn, norms_portable, first_min_portable,
                                      products_none,   interleave_portable, sq_scattered_portable,
                                      dot_scattered_portable, "portable"};

// The CPU's best kernels; with `narrow`, none wider than 256 bits.
Kernels choose_kernels(bool narrow) {
#ifdef TAVRIN_HAVE_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    const bool wide = !narrow && __builtin_cpu_supports("avx512f");
    return {sq_block_avx2, dot_block_avx2, sq_one_avx2_fn, dot_one_avx2_fn,
            norms_avx2,    first_min_avx2, wide ? products_avx512 : products_avx2,
            interleave_avx2, sq_scattered_avx2, dot_scattered_avx2, wide ? "avx512" : "avx2"};
  }
#endif
  return kPortableKernels;
}

std::atomic<bool> g_force_portable{false};
std::atomic<bool> g_force_narrow{false};

const Kernels& kernels() {
  static const Kernels best = choose_kernels(false);
  static const Kernels narrow = choose_kernels(true);
  if (g_force_portable.load(std::memory_order_relaxed)) return kPortableKernels;
  return g_force_narrow.load(std::memory_order_relaxed) ? narrow : best;
}

// Scales every column to unit length; zero columns stay zero.
arma::fmat unit_columns(const arma::fmat& m) {
  arma::fmat out(m.n_rows, m.n_cols);
  const size_t d = m.n_rows;
  for (arma::uword c = 0; c < m.n_cols; ++c) {
    const float* src = m.colptr(c);
    float* dst = out.colptr(c);
    float s = 0.0f;
    for (size_t i = 0; i < d; ++i) s += src[i] * src[i];
    const float norm = std::sqrt(s);
    if (norm != 0.0f) {
      for (size_t i = 0; i < d; ++i) dst[i] = src[i] / norm;
    } else {
      for (size_t i = 0; i < d; ++i) dst[i] = src[i];
    }
  }
  return out;
}

}  // namespace

float squared_euclidean(const float* a, const float* b, size_t d) {
  return kernels().sq_one(a, b, d);
}

float squared_norm(const float* a, size_t d) { return kernels().dot_one(a, a, d); }

float cosine_distance(const float* a, const float* b, size_t d) {
  const Kernels& k = kernels();
  return cosine_from_sums(k.dot_one(a, b, d), k.dot_one(a, a, d), k.dot_one(b, b, d));
}

void squared_norms(const float* rows, size_t n, size_t d, float* out) {
  kernels().norms(rows, n, d, out);
}

uint32_t first_min(const float* values, size_t n) {
  return n == 0 ? 0 : kernels().first_min(values, n);
}

void squared_euclidean_rows(const float* q, const float* rows, size_t n, size_t d, float* out) {
  kernels().sq_block(&q, 1, rows, n, d, out, n);
}

void cosine_rows(const float* q, float q_sqnorm, const float* rows, size_t n, size_t d,
                 float* out) {
  cosine_block(&q, &q_sqnorm, 1, rows, n, d, out, n, nullptr);
}

void squared_euclidean_block(const float* const* queries, size_t nq, const float* rows, size_t n,
                             size_t d, float* out, size_t out_stride) {
  kernels().sq_block(queries, nq, rows, n, d, out, out_stride);
}

namespace {

// Turns the dot products in out (query g's at out + g * out_stride) into
// cosine distances, given the rows' squared norms (replaced by their roots:
// the roots of cosine_from_sums, hoisted, one per row and one per query).
void finish_cosine(const float* q_sqnorms, size_t nq, float* row_norms, size_t n, float* out,
                   size_t out_stride) {
  for (size_t r = 0; r < n; ++r) row_norms[r] = std::sqrt(row_norms[r]);
  for (size_t g = 0; g < nq; ++g) {
    const float q_root = std::sqrt(q_sqnorms[g]);
    float* o = out + g * out_stride;
    for (size_t r = 0; r < n; ++r) {
      const float den = q_root * row_norms[r];
      o[r] = den != 0.0f ? 1.0f - o[r] / den : 1.0f;
    }
  }
}

}  // namespace

void cosine_block(const float* const* queries, const float* q_sqnorms, size_t nq, const float* rows,
                  size_t n, size_t d, float* out, size_t out_stride, float* scratch) {
  std::vector<float> own;
  if (scratch == nullptr) {
    own.resize(n);
    scratch = own.data();
  }
  kernels().dot_block(queries, nq, rows, n, d, out, out_stride, scratch);
  finish_cosine(q_sqnorms, nq, scratch, n, out, out_stride);
}

void squared_euclidean_scattered(const float* q, const float* const* rows, size_t n, size_t d,
                                 float* out) {
  kernels().sq_scattered(q, rows, n, d, out);
}

void cosine_scattered(const float* q, float q_sqnorm, const float* const* rows, size_t n, size_t d,
                      float* out, float* scratch) {
  kernels().dot_scattered(q, rows, n, d, out, scratch);
  finish_cosine(&q_sqnorm, 1, scratch, n, out, n);
}

bool row_query_products(const float* rows, size_t n, size_t d, const float* queries, size_t m_pad,
                        float* out, size_t out_stride) {
  if (n == 0 || d == 0 || m_pad == 0) return true;
  return kernels().products(rows, n, d, queries, m_pad, out, out_stride);
}

void interleave_queries(const float* const* queries, size_t m, size_t d, float* out) {
  kernels().interleave(queries, m, d, out);
}

const char* distance_kernel_name() { return kernels().name; }

void force_portable_distance_kernels(bool on) {
  g_force_portable.store(on, std::memory_order_relaxed);
}

void force_narrow_distance_kernels(bool on) { g_force_narrow.store(on, std::memory_order_relaxed); }

ColumnSet::ColumnSet(const arma::fmat& cols, DistanceMetric metric) : cols_(&cols), metric_(metric) {
  if (metric == kMetricCosine) {
    unit_ = unit_columns(cols);
  } else {
    sq_norms_ = arma::sum(arma::square(cols), 0);  // 1 x n
  }
}

arma::fmat ColumnSet::distances_to(const arma::fmat& b) const {
  arma::fmat out;
  distances_into(b, out);
  return out;
}

void ColumnSet::distances_into(const arma::fmat& b, arma::fmat& out) const {
  const arma::fmat& a = *cols_;
  if (a.n_rows != b.n_rows) {
    throw std::invalid_argument("Distance matrix operands have different dimensions");
  }
  // Same shape as the last call: the product is formed in the same memory,
  // not in fresh pages the kernel must clear first.
  out.set_size(a.n_cols, b.n_cols);
  if (a.n_cols == 0 || b.n_cols == 0 || a.n_rows == 0) {
    // No products to form; zero-width vectors are zero vectors.
    out.fill(metric_ == kMetricCosine ? 1.0f : 0.0f);
    return;
  }
  if (metric_ == kMetricCosine) {
    const arma::fmat bu = unit_columns(b);
    out = -1.0f * unit_.t() * bu;
    out += 1.0f;
    return;
  }
  out = -2.0f * a.t() * b;
  const arma::fmat bn = arma::sum(arma::square(b), 0);  // 1 x |b|
  out.each_col() += sq_norms_.t();
  out.each_row() += bn;
}

arma::fmat distance_matrix_cols(const arma::fmat& a, const arma::fmat& b, DistanceMetric metric) {
  if (a.n_rows != b.n_rows) {
    throw std::invalid_argument("Distance matrix operands have different dimensions");
  }
  return ColumnSet(a, metric).distances_to(b);
}

arma::fmat distance_matrix(const FloatRowsView& a, const FloatRowsView& b, DistanceMetric metric) {
  if (a.cols != b.cols) {
    throw std::invalid_argument("Distance matrix operands have different dimensions");
  }
  if (a.rows == 0 || b.rows == 0)
    return distance_matrix_cols(arma::fmat(a.cols, a.rows), arma::fmat(b.cols, b.rows), metric);
  // Row-major rows of width d are column-major columns of height d: view the
  // caller's buffers in place (strict, never reallocated).
  const arma::fmat av(const_cast<float*>(a.data), a.cols, a.rows, false, true);
  const arma::fmat bv(const_cast<float*>(b.data), b.cols, b.rows, false, true);
  return distance_matrix_cols(av, bv, metric);
}

}  // namespace tavrin
