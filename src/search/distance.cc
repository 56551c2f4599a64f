#include "search/distance.h"

#include <cmath>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRIN_HAVE_X86 1
#endif

namespace tavrin {
namespace {

// ---- Portable kernels -----------------------------------------------------
// Sixteen independent lanes let the compiler keep several vector
// accumulators busy at the baseline instruction set.
constexpr size_t kLanes = 16;

inline float lane_sum(const float* acc) {
  float s8[8];
  for (size_t j = 0; j < 8; ++j) s8[j] = acc[j] + acc[j + 8];
  float s4[4];
  for (size_t j = 0; j < 4; ++j) s4[j] = s8[j] + s8[j + 4];
  return (s4[0] + s4[2]) + (s4[1] + s4[3]);
}

inline float sq_one_portable(const float* q, const float* x, size_t d) {
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

// dot(q, x) and |x|^2 in one pass.
inline void dot_norm_portable(const float* q, const float* x, size_t d, float* dot, float* nx) {
  float ad[kLanes] = {};
  float an[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= d; i += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) {
      ad[j] += q[i + j] * x[i + j];
      an[j] += x[i + j] * x[i + j];
    }
  }
  float sd = lane_sum(ad);
  float sn = lane_sum(an);
  for (; i < d; ++i) {
    sd += q[i] * x[i];
    sn += x[i] * x[i];
  }
  *dot = sd;
  *nx = sn;
}

void sq_rows_portable(const float* q, const float* rows, size_t n, size_t d, float* out) {
  for (size_t r = 0; r < n; ++r) out[r] = sq_one_portable(q, rows + r * d, d);
}

inline float cosine_from_sums(float dot, float nq, float nx) {
  const float den = std::sqrt(nq) * std::sqrt(nx);
  return den != 0.0f ? 1.0f - dot / den : 1.0f;
}

void cos_rows_portable(const float* q, float nq, const float* rows, size_t n, size_t d,
                       float* out) {
  for (size_t r = 0; r < n; ++r) {
    float dot, nx;
    dot_norm_portable(q, rows + r * d, d, &dot, &nx);
    out[r] = cosine_from_sums(dot, nq, nx);
  }
}

float sq_one_portable_fn(const float* q, const float* x, size_t d) {
  return sq_one_portable(q, x, d);
}
void dot_norm_portable_fn(const float* q, const float* x, size_t d, float* dot, float* nx) {
  dot_norm_portable(q, x, d, dot, nx);
}

#ifdef TAVRIN_HAVE_X86
// ---- AVX2 + FMA kernels ---------------------------------------------------
// Four accumulators per row; the row kernel takes two rows at once so that
// eight independent FMA chains hide the latency and each query load serves
// both rows. A pair gets the same accumulation order whichever path takes it.
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

TAVRIN_AVX2 inline __m256 sq_step(const float* q, const float* x, __m256 acc) {
  const __m256 t = _mm256_sub_ps(_mm256_loadu_ps(q), _mm256_loadu_ps(x));
  return _mm256_fmadd_ps(t, t, acc);
}

TAVRIN_AVX2 inline float sq_one_avx2(const float* q, const float* x, size_t d) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= d; i += 32) {
    a0 = sq_step(q + i, x + i, a0);
    a1 = sq_step(q + i + 8, x + i + 8, a1);
    a2 = sq_step(q + i + 16, x + i + 16, a2);
    a3 = sq_step(q + i + 24, x + i + 24, a3);
  }
  for (; i + 8 <= d; i += 8) a0 = sq_step(q + i, x + i, a0);
  float s = combine(a0, a1, a2, a3);
  for (; i < d; ++i) {
    const float t = q[i] - x[i];
    s += t * t;
  }
  return s;
}

TAVRIN_AVX2 void sq_rows_avx2(const float* q, const float* rows, size_t n, size_t d, float* out) {
  size_t r = 0;
  for (; r + 2 <= n; r += 2) {
    const float* x = rows + r * d;
    const float* y = x + d;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    __m256 b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    size_t i = 0;
    for (; i + 32 <= d; i += 32) {
      const __m256 q0 = _mm256_loadu_ps(q + i);
      const __m256 q1 = _mm256_loadu_ps(q + i + 8);
      const __m256 q2 = _mm256_loadu_ps(q + i + 16);
      const __m256 q3 = _mm256_loadu_ps(q + i + 24);
      __m256 t = _mm256_sub_ps(q0, _mm256_loadu_ps(x + i));
      a0 = _mm256_fmadd_ps(t, t, a0);
      t = _mm256_sub_ps(q0, _mm256_loadu_ps(y + i));
      b0 = _mm256_fmadd_ps(t, t, b0);
      t = _mm256_sub_ps(q1, _mm256_loadu_ps(x + i + 8));
      a1 = _mm256_fmadd_ps(t, t, a1);
      t = _mm256_sub_ps(q1, _mm256_loadu_ps(y + i + 8));
      b1 = _mm256_fmadd_ps(t, t, b1);
      t = _mm256_sub_ps(q2, _mm256_loadu_ps(x + i + 16));
      a2 = _mm256_fmadd_ps(t, t, a2);
      t = _mm256_sub_ps(q2, _mm256_loadu_ps(y + i + 16));
      b2 = _mm256_fmadd_ps(t, t, b2);
      t = _mm256_sub_ps(q3, _mm256_loadu_ps(x + i + 24));
      a3 = _mm256_fmadd_ps(t, t, a3);
      t = _mm256_sub_ps(q3, _mm256_loadu_ps(y + i + 24));
      b3 = _mm256_fmadd_ps(t, t, b3);
    }
    for (; i + 8 <= d; i += 8) {
      a0 = sq_step(q + i, x + i, a0);
      b0 = sq_step(q + i, y + i, b0);
    }
    float sa = combine(a0, a1, a2, a3);
    float sb = combine(b0, b1, b2, b3);
    for (; i < d; ++i) {
      const float ta = q[i] - x[i];
      sa += ta * ta;
      const float tb = q[i] - y[i];
      sb += tb * tb;
    }
    out[r] = sa;
    out[r + 1] = sb;
  }
  if (r < n) out[r] = sq_one_avx2(q, rows + r * d, d);
}

TAVRIN_AVX2 inline void dot_norm_avx2(const float* q, const float* x, size_t d, float* dot,
                                      float* nx) {
  __m256 d0 = _mm256_setzero_ps(), d1 = d0, d2 = d0, d3 = d0;
  __m256 n0 = d0, n1 = d0, n2 = d0, n3 = d0;
  size_t i = 0;
  for (; i + 32 <= d; i += 32) {
    __m256 v = _mm256_loadu_ps(x + i);
    d0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), v, d0);
    n0 = _mm256_fmadd_ps(v, v, n0);
    v = _mm256_loadu_ps(x + i + 8);
    d1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8), v, d1);
    n1 = _mm256_fmadd_ps(v, v, n1);
    v = _mm256_loadu_ps(x + i + 16);
    d2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 16), v, d2);
    n2 = _mm256_fmadd_ps(v, v, n2);
    v = _mm256_loadu_ps(x + i + 24);
    d3 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 24), v, d3);
    n3 = _mm256_fmadd_ps(v, v, n3);
  }
  for (; i + 8 <= d; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    d0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), v, d0);
    n0 = _mm256_fmadd_ps(v, v, n0);
  }
  float sd = combine(d0, d1, d2, d3);
  float sn = combine(n0, n1, n2, n3);
  for (; i < d; ++i) {
    sd += q[i] * x[i];
    sn += x[i] * x[i];
  }
  *dot = sd;
  *nx = sn;
}

TAVRIN_AVX2 void cos_rows_avx2(const float* q, float nq, const float* rows, size_t n, size_t d,
                               float* out) {
  for (size_t r = 0; r < n; ++r) {
    float dot, nx;
    dot_norm_avx2(q, rows + r * d, d, &dot, &nx);
    out[r] = cosine_from_sums(dot, nq, nx);
  }
}

TAVRIN_AVX2 float sq_one_avx2_fn(const float* q, const float* x, size_t d) {
  return sq_one_avx2(q, x, d);
}
TAVRIN_AVX2 void dot_norm_avx2_fn(const float* q, const float* x, size_t d, float* dot,
                                  float* nx) {
  dot_norm_avx2(q, x, d, dot, nx);
}
#endif  // TAVRIN_HAVE_X86

struct Kernels {
  void (*sq_rows)(const float*, const float*, size_t, size_t, float*);
  void (*cos_rows)(const float*, float, const float*, size_t, size_t, float*);
  float (*sq_one)(const float*, const float*, size_t);
  void (*dot_norm)(const float*, const float*, size_t, float*, float*);
  const char* name;
};

Kernels choose_kernels() {
#ifdef TAVRIN_HAVE_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return {sq_rows_avx2, cos_rows_avx2, sq_one_avx2_fn, dot_norm_avx2_fn, "avx2"};
  }
#endif
  return {sq_rows_portable, cos_rows_portable, sq_one_portable_fn, dot_norm_portable_fn,
          "portable"};
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

float squared_norm(const float* a, size_t d) {
  // Same lanes as the |x|^2 sum of the cosine kernel, so a vector compared
  // with itself sees identical norms on both sides.
  float dot, nx;
  kernels().dot_norm(a, a, d, &dot, &nx);
  return nx;
}

float cosine_distance(const float* a, const float* b, size_t d) {
  float dot, nb;
  kernels().dot_norm(a, b, d, &dot, &nb);
  return cosine_from_sums(dot, squared_norm(a, d), nb);
}

void squared_euclidean_rows(const float* q, const float* rows, size_t n, size_t d, float* out) {
  kernels().sq_rows(q, rows, n, d, out);
}

void cosine_rows(const float* q, float q_sqnorm, const float* rows, size_t n, size_t d,
                 float* out) {
  kernels().cos_rows(q, q_sqnorm, rows, n, d, out);
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
