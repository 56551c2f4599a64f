#include "search/distance.h"

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

#ifdef TAVRIN_HAVE_X86
// ---- AVX2 + FMA kernels ---------------------------------------------------
// Four accumulators per row. Block kernels take two candidate rows at a time
// (eight independent FMA chains) and compare them with every query of the
// block while they sit in L1, so a candidate row crosses the memory
// hierarchy once per block of queries rather than once per query.
#define TAVRIN_AVX2 __attribute__((target("avx2,fma")))

TAVRIN_AVX2 inline float hsum(__m256 v) {
  __m128 lo = _mm256_castps256_ps128(v);
  const __m128 hi = _mm256_extractf128_ps(v, 1);
  lo = _mm_add_ps(lo, hi);
  __m128 sh = _mm_movehdup_ps(lo);
  __m128 s = _mm_add_ps(lo, sh);
  sh = _mm_movehl_ps(sh, s);
  s = _mm_add_ss(s, sh);
  return _mm_cvtss_f32(s);
}

TAVRIN_AVX2 inline float combine(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
  return hsum(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
}

TAVRIN_AVX2 inline __m256 sq_step(__m256 q, const float* x, __m256 acc) {
  const __m256 t = _mm256_sub_ps(q, _mm256_loadu_ps(x));
  return _mm256_fmadd_ps(t, t, acc);
}

TAVRIN_AVX2 inline __m256 dot_step(__m256 q, const float* x, __m256 acc) {
  return _mm256_fmadd_ps(q, _mm256_loadu_ps(x), acc);
}

// The same accumulation for one row or two; `Step` is sq_step or dot_step,
// `Tail` the matching scalar term.
template <__m256 (*Step)(__m256, const float*, __m256), float (*Tail)(float, float, float)>
TAVRIN_AVX2 inline void pair_avx2(const float* q, const float* x, const float* y, size_t d,
                                  float* sx, float* sy) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  size_t i = 0;
  for (; i + 32 <= d; i += 32) {
    const __m256 q0 = _mm256_loadu_ps(q + i);
    const __m256 q1 = _mm256_loadu_ps(q + i + 8);
    const __m256 q2 = _mm256_loadu_ps(q + i + 16);
    const __m256 q3 = _mm256_loadu_ps(q + i + 24);
    a0 = Step(q0, x + i, a0);
    b0 = Step(q0, y + i, b0);
    a1 = Step(q1, x + i + 8, a1);
    b1 = Step(q1, y + i + 8, b1);
    a2 = Step(q2, x + i + 16, a2);
    b2 = Step(q2, y + i + 16, b2);
    a3 = Step(q3, x + i + 24, a3);
    b3 = Step(q3, y + i + 24, b3);
  }
  for (; i + 8 <= d; i += 8) {
    const __m256 qv = _mm256_loadu_ps(q + i);
    a0 = Step(qv, x + i, a0);
    b0 = Step(qv, y + i, b0);
  }
  float s = combine(a0, a1, a2, a3);
  float t = combine(b0, b1, b2, b3);
  for (; i < d; ++i) {
    s = Tail(s, q[i], x[i]);
    t = Tail(t, q[i], y[i]);
  }
  *sx = s;
  *sy = t;
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

TAVRIN_AVX2 inline float sq_one_avx2(const float* q, const float* x, size_t d) {
  float s, unused;
  pair_avx2<sq_step, sq_tail>(q, x, x, d, &s, &unused);
  return s;
}

TAVRIN_AVX2 inline float dot_one_avx2(const float* q, const float* x, size_t d) {
  float s, unused;
  pair_avx2<dot_step, dot_tail>(q, x, x, d, &s, &unused);
  return s;
}

TAVRIN_AVX2 void sq_block_avx2(const float* const* qs, size_t nq, const float* rows, size_t n,
                               size_t d, float* out, size_t stride) {
  size_t r = 0;
  for (; r + 2 <= n; r += 2) {
    const float* x = rows + r * d;
    for (size_t g = 0; g < nq; ++g) {
      pair_avx2<sq_step, sq_tail>(qs[g], x, x + d, d, out + g * stride + r,
                                  out + g * stride + r + 1);
    }
  }
  if (r < n) {
    for (size_t g = 0; g < nq; ++g) out[g * stride + r] = sq_one_avx2(qs[g], rows + r * d, d);
  }
}

TAVRIN_AVX2 void dot_block_avx2(const float* const* qs, size_t nq, const float* rows, size_t n,
                                size_t d, float* out, size_t stride, float* norms) {
  size_t r = 0;
  for (; r + 2 <= n; r += 2) {
    const float* x = rows + r * d;
    norms[r] = dot_one_avx2(x, x, d);
    norms[r + 1] = dot_one_avx2(x + d, x + d, d);
    for (size_t g = 0; g < nq; ++g) {
      pair_avx2<dot_step, dot_tail>(qs[g], x, x + d, d, out + g * stride + r,
                                    out + g * stride + r + 1);
    }
  }
  if (r < n) {
    const float* x = rows + r * d;
    norms[r] = dot_one_avx2(x, x, d);
    for (size_t g = 0; g < nq; ++g) out[g * stride + r] = dot_one_avx2(qs[g], x, d);
  }
}

TAVRIN_AVX2 float sq_one_avx2_fn(const float* q, const float* x, size_t d) {
  return sq_one_avx2(q, x, d);
}
TAVRIN_AVX2 float dot_one_avx2_fn(const float* q, const float* x, size_t d) {
  return dot_one_avx2(q, x, d);
}
#endif  // TAVRIN_HAVE_X86

float sq_portable_fn(const float* q, const float* x, size_t d) { return sq_portable(q, x, d); }
float dot_portable_fn(const float* q, const float* x, size_t d) { return dot_portable(q, x, d); }

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
  const char* name;
};

Kernels choose_kernels() {
#ifdef TAVRIN_HAVE_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return {sq_block_avx2, dot_block_avx2, sq_one_avx2_fn, dot_one_avx2_fn, "avx2"};
  }
#endif
  return {sq_block_portable, dot_block_portable, sq_portable_fn, dot_portable_fn, "portable"};
}

const Kernels& kernels() {
  static const Kernels k = choose_kernels();
  return k;
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

void cosine_block(const float* const* queries, const float* q_sqnorms, size_t nq,
                  const float* rows, size_t n, size_t d, float* out, size_t out_stride,
                  float* scratch) {
  std::vector<float> own;
  if (scratch == nullptr) {
    own.resize(n);
    scratch = own.data();
  }
  kernels().dot_block(queries, nq, rows, n, d, out, out_stride, scratch);
  for (size_t g = 0; g < nq; ++g) {
    float* o = out + g * out_stride;
    for (size_t r = 0; r < n; ++r) o[r] = cosine_from_sums(o[r], q_sqnorms[g], scratch[r]);
  }
}

const char* distance_kernel_name() { return kernels().name; }

arma::fmat distance_matrix_cols(const arma::fmat& a, const arma::fmat& b, uint32_t metric) {
  check_metric(metric);
  if (a.n_rows != b.n_rows) {
    throw std::invalid_argument("Distance matrix operands have different dimensions");
  }
  if (a.n_cols == 0 || b.n_cols == 0 || a.n_rows == 0) {
    // No products to form; zero-width vectors are zero vectors.
    const float fill = metric == kMetricCosine ? 1.0f : 0.0f;
    arma::fmat out(a.n_cols, b.n_cols);
    out.fill(fill);
    return out;
  }
  if (metric == kMetricCosine) {
    const arma::fmat au = unit_columns(a);
    const arma::fmat bu = unit_columns(b);
    arma::fmat out = -1.0f * au.t() * bu;
    out += 1.0f;
    return out;
  }
  arma::fmat out = -2.0f * a.t() * b;
  const arma::fmat an = arma::sum(arma::square(a), 0);  // 1 x |a|
  const arma::fmat bn = arma::sum(arma::square(b), 0);  // 1 x |b|
  out.each_col() += an.t();
  out.each_row() += bn;
  return out;
}

arma::fmat distance_matrix(const FloatRowsView& a, const FloatRowsView& b, uint32_t metric) {
  check_metric(metric);
  if (a.cols != b.cols) {
    throw std::invalid_argument("Distance matrix operands have different dimensions");
  }
  if (a.rows == 0 || b.rows == 0) return distance_matrix_cols(arma::fmat(a.cols, a.rows),
                                                             arma::fmat(b.cols, b.rows), metric);
  // Row-major rows of width d are column-major columns of height d: view the
  // caller's buffers in place (strict, never reallocated).
  const arma::fmat av(const_cast<float*>(a.data), a.cols, a.rows, false, true);
  const arma::fmat bv(const_cast<float*>(b.data), b.cols, b.rows, false, true);
  return distance_matrix_cols(av, bv, metric);
}

}  // namespace tavrin
