#include "crypto/sealed_record.h"

#include <omp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "common/parallel.h"
#include "common/diagnostics.h"

namespace tavrin {
namespace {

constexpr char kCtxError[] = "Failed to create EVP_CIPHER_CTX";
constexpr char kEncInitError[] = "Encryption initialization failed";
constexpr char kEncUpdateError[] = "Encryption failed";
constexpr char kEncFinalError[] = "Final encryption step failed";
constexpr char kEncTagError[] = "Failed to retrieve encryption tag";
constexpr char kRandError[] = "Failed to generate a random IV";
constexpr char kTooLongError[] = "Record too long for the cipher (limit 2^31 - 1 bytes)";
constexpr char kShortError[] = "Failed to decrypt";
constexpr char kDecInitError[] = "Decryption initialization or update failed";
constexpr char kDecFinalError[] = "Decryption final step failed";
constexpr char kNoMemoryError[] = "Out of memory";
constexpr char kItemCtxError[] = "Failed to create encryption context in at least one thread";
constexpr char kAdCountError[] = "One associated data block per record is required";

// Fetched once: the implicit fetch behind EVP_aes_256_gcm() costs a look-up
// on every init.
const EVP_CIPHER* gcm_cipher() {
  static const EVP_CIPHER* cipher = [] {
    const EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return c != nullptr ? c : EVP_aes_256_gcm();
  }();
  return cipher;
}

// Random IVs drawn in batches: one RAND_bytes call per 64 records instead of
// one per record.
class IvPool {
 public:
  // Copies the next IV to `out`; false when the random source failed.
  bool next(uint8_t* out) {
    if (pos_ == kCount) {
      if (RAND_bytes(buf_, static_cast<int>(sizeof(buf_))) != 1) return false;
      pos_ = 0;
    }
    std::memcpy(out, buf_ + pos_ * kIvSize, kIvSize);
    ++pos_;
    return true;
  }

 private:
  static constexpr size_t kCount = 64;
  uint8_t buf_[kCount * kIvSize];
  size_t pos_ = kCount;
};

// One cipher context with the key schedule set once; each record then only
// sets its IV.
class GcmWorker {
 public:
  GcmWorker(const Key256& key, bool encrypt) : ctx_(EVP_CIPHER_CTX_new()) {
    if (ctx_ == nullptr) return;
    keyed_ = encrypt ? EVP_EncryptInit_ex(ctx_, gcm_cipher(), nullptr, key.data(), nullptr) == 1
                     : EVP_DecryptInit_ex(ctx_, gcm_cipher(), nullptr, key.data(), nullptr) == 1;
  }
  ~GcmWorker() { EVP_CIPHER_CTX_free(ctx_); }
  GcmWorker(const GcmWorker&) = delete;
  GcmWorker& operator=(const GcmWorker&) = delete;

  bool has_ctx() const { return ctx_ != nullptr; }
  bool ready() const { return keyed_; }

  // `out` holds the IV in its first 12 bytes and has room for len + 28.
  const char* seal(const uint8_t* in, size_t len, uint8_t* out, const RecordAd* ad = nullptr) {
    if (len > static_cast<size_t>(INT_MAX) - kSealOverhead) return kTooLongError;
    if (EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, out) != 1) return kEncInitError;
    int n = 0;
    if (ad != nullptr &&
        EVP_EncryptUpdate(ctx_, nullptr, &n, ad->data(), static_cast<int>(ad->size())) != 1) {
      return kEncUpdateError;
    }
    if (len != 0 && EVP_EncryptUpdate(ctx_, out + kIvSize, &n, in, static_cast<int>(len)) != 1) {
      return kEncUpdateError;
    }
    int fin = 0;
    if (EVP_EncryptFinal_ex(ctx_, out + kIvSize + n, &fin) != 1) return kEncFinalError;
    if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, kTagSize, out + kIvSize + len) != 1) {
      return kEncTagError;
    }
    return nullptr;
  }

  // `rec` is a whole record of `len` >= 28 bytes; `out` has room for len - 28.
  const char* open(const uint8_t* rec, size_t len, uint8_t* out, const RecordAd* ad = nullptr) {
    if (len < kSealOverhead) return kShortError;
    if (len > static_cast<size_t>(INT_MAX)) return kTooLongError;
    const size_t n = len - kSealOverhead;
    if (EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, rec) != 1) return kDecInitError;
    int written = 0;
    if (ad != nullptr &&
        EVP_DecryptUpdate(ctx_, nullptr, &written, ad->data(), static_cast<int>(ad->size())) != 1) {
      return kDecInitError;
    }
    written = 0;
    if (n != 0 && EVP_DecryptUpdate(ctx_, out, &written, rec + kIvSize, static_cast<int>(n)) != 1) {
      return kDecInitError;
    }
    // The tag is only read by OpenSSL, but the control takes a non-const pointer.
    if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, kTagSize,
                            const_cast<uint8_t*>(rec + kIvSize + n)) != 1) {
      return kDecFinalError;
    }
    int fin = 0;
    if (EVP_DecryptFinal_ex(ctx_, out + written, &fin) < 1) return kDecFinalError;
    return nullptr;
  }

 private:
  EVP_CIPHER_CTX* ctx_;
  bool keyed_ = false;
};

// Runs body(worker, begin, end), which returns its failure count and must
// not throw, on each thread's share of the rows with one keyed cipher context
// per thread. Returns the failures summed over the team.
template <typename Body>
size_t run_row_ranges(size_t rows, const Key256& key, bool encrypt, Body body) {
  size_t failures = 0;
#pragma omp parallel if (rows > 1) reduction(+ : failures)
  {
    size_t begin, end;
    thread_row_range(rows, &begin, &end);
    if (begin < end) {
      GcmWorker worker(key, encrypt);
      if (worker.ready()) {
        failures += body(worker, begin, end);
      } else {
        // Without a context the whole range stays unprocessed.
        failures += worker.has_ctx() ? end - begin : 1;
      }
    }
  }
  return failures;
}

void check_shape(const ByteMatrix& m) {
  if (m.data.size() != m.rows * m.cols) throw std::invalid_argument(kMatrixShapeError);
}

// Item slots hold static messages, so that recording a failure inside the
// parallel loop cannot itself allocate or throw.
void report_item_errors(const std::vector<const char*>& errors) {
  for (size_t i = 0; i < errors.size(); ++i) {
    if (errors[i] != nullptr) Warn("Error for item " + std::to_string(i) + ": " + errors[i]);
  }
}

}  // namespace

Bytes seal_record(ByteView plaintext, const Key256& key, const RecordAd* ad) {
  if (plaintext.size() > static_cast<size_t>(INT_MAX) - kSealOverhead) {
    throw std::runtime_error(kTooLongError);
  }
  GcmWorker worker(key, /*encrypt=*/true);
  if (!worker.has_ctx()) throw std::runtime_error(kCtxError);
  if (!worker.ready()) throw std::runtime_error(kEncInitError);
  Bytes out(plaintext.size() + kSealOverhead, 0);
  IvPool ivs;
  if (!ivs.next(out.data())) throw std::runtime_error(kRandError);
  if (const char* e = worker.seal(plaintext.data(), plaintext.size(), out.data(), ad)) {
    throw std::runtime_error(e);
  }
  return out;
}

Bytes open_record(ByteView record, const Key256& key, const RecordAd* ad) {
  if (record.size() < kSealOverhead) throw std::runtime_error(kShortError);
  GcmWorker worker(key, /*encrypt=*/false);
  if (!worker.has_ctx()) throw std::runtime_error(kCtxError);
  if (!worker.ready()) throw std::runtime_error(kDecInitError);
  Bytes out(record.size() - kSealOverhead, 0);
  if (const char* e = worker.open(record.data(), record.size(), out.data(), ad)) {
    throw std::runtime_error(e);
  }
  return out;
}

ByteMatrix encrypt_rows(const ByteMatrix& in, const Key256& key) {
  check_shape(in);
  const size_t rows = in.rows;
  const size_t m = in.cols;
  if (m > static_cast<size_t>(INT_MAX) - kSealOverhead) {
    throw std::runtime_error(kTooLongError);
  }
  const size_t width = m + kSealOverhead;
  // Rows of zero width pass the shape check in any number; their records
  // must not overflow the output size.
  if (rows > SIZE_MAX / width) throw std::runtime_error("Too many rows to seal");
  Bytes out(rows * width, 0);
  const size_t failures =
      run_row_ranges(rows, key, /*encrypt=*/true, [&](GcmWorker& worker, size_t begin, size_t end) {
        IvPool ivs;
        size_t failed = 0;
        for (size_t r = begin; r < end; ++r) {
          uint8_t* dst = out.data() + r * width;
          if (!ivs.next(dst) || worker.seal(in.data.data() + r * m, m, dst) != nullptr) ++failed;
        }
        return failed;
      });
  if (failures != 0) {
    throw std::runtime_error("Failed to encrypt " + std::to_string(failures) + " plaintexts");
  }
  return ByteMatrix(std::move(out), width);
}

ByteMatrix decrypt_rows(const ByteMatrix& in, const Key256& key) {
  check_shape(in);
  const size_t rows = in.rows;
  const size_t len = in.cols;
  if (len < kSealOverhead) {
    if (rows == 0) return ByteMatrix();
    throw std::runtime_error("Sealed rows must be at least 28 bytes long; got rows of " +
                             std::to_string(len) + " bytes");
  }
  if (len > static_cast<size_t>(INT_MAX)) throw std::runtime_error(kTooLongError);
  const size_t width = len - kSealOverhead;
  Bytes out(rows * width, 0);
  const size_t failures = run_row_ranges(
      rows, key, /*encrypt=*/false, [&](GcmWorker& worker, size_t begin, size_t end) {
        size_t failed = 0;
        for (size_t r = begin; r < end; ++r) {
          if (worker.open(in.data.data() + r * len, len, out.data() + r * width) != nullptr) {
            ++failed;
          }
        }
        return failed;
      });
  if (failures != 0) {
    throw std::runtime_error("Failed to decrypt " + std::to_string(failures) + " ciphertexts");
  }
  if (width == 0) {
    // Rows of empty plaintexts: the matrix constructor refuses 0 columns, but
    // the rows themselves opened fine.
    return ByteMatrix::zeros(rows, 0);
  }
  return ByteMatrix(std::move(out), width);
}

namespace {

// Seals item i of n into out[i]: the sizes[i] plaintext bytes at fill(i,
// dst), which either names the item's own bytes or writes them at dst
// (zeroed, right after the IV) and returns dst, sealed there in place: a
// plaintext built for its record needs no buffer of its own.
template <typename Fill>
std::vector<Bytes> seal_filled(size_t n, const std::vector<size_t>& sizes, const Key256& key,
                               const std::vector<RecordAd>* ads, Fill fill) {
  if (ads != nullptr && ads->size() != n) throw std::invalid_argument(kAdCountError);
  std::vector<Bytes> out(n);
  std::vector<const char*> errors(n, nullptr);
  bool failed = false;
#pragma omp parallel if (n > 1)
  {
    GcmWorker worker(key, /*encrypt=*/true);
    IvPool ivs;
#pragma omp for schedule(dynamic, 32)
    for (size_t i = 0; i < n; ++i) {
      const char* error = nullptr;
      if (!worker.has_ctx()) {
        error = kItemCtxError;
      } else if (!worker.ready()) {
        error = kEncInitError;
      } else if (sizes[i] > static_cast<size_t>(INT_MAX) - kSealOverhead) {
        error = kTooLongError;
      } else {
        Bytes& rec = out[i];
        try {
          rec.resize(sizes[i] + kSealOverhead);
          const uint8_t* plain = fill(i, rec.data() + kIvSize);
          error = ivs.next(rec.data()) ? worker.seal(plain, sizes[i], rec.data(),
                                                     ads ? &(*ads)[i] : nullptr)
                                       : kRandError;
        } catch (const std::bad_alloc&) {
          error = kNoMemoryError;
        }
      }
      if (error != nullptr) {
        errors[i] = error;
#pragma omp atomic write
        failed = true;
      }
    }
  }
  if (failed) {
    report_item_errors(errors);
    throw std::runtime_error("Encryption failed for one or more items");
  }
  return out;
}

}  // namespace

std::vector<Bytes> encrypt_items(const std::vector<Bytes>& items, const Key256& key,
                                 const std::vector<RecordAd>* ads) {
  std::vector<size_t> sizes(items.size());
  for (size_t i = 0; i < items.size(); ++i) sizes[i] = items[i].size();
  return seal_filled(items.size(), sizes, key, ads,
                     [&](size_t i, uint8_t*) { return items[i].data(); });
}

std::vector<Bytes> seal_built_items(const std::vector<size_t>& sizes, const Key256& key,
                                    const std::vector<RecordAd>* ads,
                                    const std::function<void(size_t, uint8_t*)>& build) {
  return seal_filled(sizes.size(), sizes, key, ads, [&](size_t i, uint8_t* at) {
    build(i, at);
    return at;
  });
}

namespace {

// Opens every non-empty record into the buffer that dest(i, &p) provides
// (record size - 28 bytes; false when it cannot be had), one cipher context
// per thread. Every record is tried, so each bad one is reported as "Error
// for item i: ..." before the one runtime error is thrown.
template <typename Records, typename Dest, typename Opened>
void open_items(const Records& records, const Key256& key, const std::vector<RecordAd>* ads,
                Dest dest, Opened opened) {
  const size_t n = records.size();
  if (ads != nullptr && ads->size() != n) throw std::invalid_argument(kAdCountError);
  std::vector<const char*> errors(n, nullptr);
  bool failed = false;
#pragma omp parallel if (n > 1)
  {
    GcmWorker worker(key, /*encrypt=*/false);
#pragma omp for schedule(dynamic, 32)
    for (size_t i = 0; i < n; ++i) {
      // Records read from a store's memory lie anywhere in the heap: ask for
      // the next one while this one is opened.
      if (i + 1 < n) {
        const auto& next = records[i + 1];
        for (size_t at = 0; at < next.size(); at += 64) __builtin_prefetch(next.data() + at);
      }
      const auto& rec = records[i];
      if (rec.empty()) continue;  // a deleted or absent item, not a failure
      const char* error = nullptr;
      uint8_t* out = nullptr;
      if (!worker.has_ctx()) {
        error = kCtxError;
      } else if (!worker.ready()) {
        error = kDecInitError;
      } else if (rec.size() < kSealOverhead) {
        error = kShortError;
      } else if (!dest(i, &out)) {
        error = kNoMemoryError;
      } else {
        error = worker.open(rec.data(), rec.size(), out, ads ? &(*ads)[i] : nullptr);
        if (error == nullptr) opened(i, out, rec.size() - kSealOverhead);
      }
      if (error != nullptr) {
        errors[i] = error;
#pragma omp atomic write
        failed = true;
      }
    }
  }
  if (failed) {
    report_item_errors(errors);
    throw std::runtime_error("Decryption failed for one or more items");
  }
}

}  // namespace

std::vector<Bytes> decrypt_items(const std::vector<Bytes>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads) {
  std::vector<Bytes> out(records.size());
  open_items(records, key, ads, [&](size_t i, uint8_t** p) {
    try {
      out[i].resize(records[i].size() - kSealOverhead);
    } catch (const std::bad_alloc&) {
      return false;
    }
    *p = out[i].data();
    return true;
  }, [](size_t, const uint8_t*, size_t) {});
  return out;
}

namespace {

template <typename Records>
OpenedItems open_packed(const Records& records, const Key256& key,
                        const std::vector<RecordAd>* ads) {
  const size_t n = records.size();
  OpenedItems out;
  out.offsets.resize(n + 1);
  uint64_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    out.offsets[i] = total;
    if (records[i].size() >= kSealOverhead) total += records[i].size() - kSealOverhead;
  }
  out.offsets[n] = total;
  out.data.resize(total);
  open_items(records, key, ads, [&](size_t i, uint8_t** p) {
    *p = out.data.data() + out.offsets[i];
    return true;
  }, [](size_t, const uint8_t*, size_t) {});
  return out;
}

}  // namespace

OpenedItems decrypt_items_packed(const std::vector<Bytes>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads) {
  return open_packed(records, key, ads);
}

OpenedItems decrypt_items_packed(const std::vector<ByteView>& records, const Key256& key,
                                 const std::vector<RecordAd>* ads) {
  return open_packed(records, key, ads);
}

void open_items_each(const std::vector<ByteView>& records, const Key256& key,
                     const std::function<void(size_t, const uint8_t*, size_t)>& use,
                     const std::vector<RecordAd>* ads) {
  // One buffer per thread, grown to the largest record it opens: it stays in
  // cache, where one buffer for all plaintexts would be written and read back
  // from memory.
  std::vector<Bytes> buffers(static_cast<size_t>(std::max(1, omp_get_max_threads())));
  open_items(records, key, ads, [&](size_t i, uint8_t** p) {
    const size_t t = static_cast<size_t>(omp_get_thread_num());
    if (t >= buffers.size()) return false;
    Bytes& buffer = buffers[t];
    const size_t size = records[i].size() - kSealOverhead;
    if (buffer.size() < size) {
      try {
        buffer.resize(size);
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    *p = buffer.data();
    return true;
  }, use);
}

}  // namespace tavrin
