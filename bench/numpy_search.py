"""NumPy counterpart of bench_search: the same 100,000 x 128 items and 1,000
queries, squared Euclidean and cosine top-10 in matrix form (one BLAS product
per block of queries, then argpartition). Prints distance evaluations per
second per core; set OMP_NUM_THREADS / OPENBLAS_NUM_THREADS to 1 for a
single-core figure comparable with bench_search."""
import os
import time

import numpy as np

ITEMS, QUERIES, DIM, TOP_K, BLOCK = 100_000, 1_000, 128, 10, 100


def values(start, count):
    # splitmix64 of the element index, 24 bits mapped to [-1, 1).
    with np.errstate(over="ignore"):
        z = np.arange(start, start + count, dtype=np.uint64)
        z = z * np.uint64(0x9E3779B97F4A7C15) + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        z ^= z >> np.uint64(31)
    return ((z >> np.uint64(40)).astype(np.float32) / np.float32(8388608.0)) - np.float32(1.0)


def top_k(dist):
    part = np.argpartition(dist, TOP_K, axis=1)[:, :TOP_K]
    order = np.take_along_axis(dist, part, axis=1).argsort(axis=1)
    return np.take_along_axis(part, order, axis=1)


def search(items, queries, cosine):
    if cosine:
        items = items / np.maximum(np.linalg.norm(items, axis=1, keepdims=True), 1e-30)
        queries = queries / np.maximum(np.linalg.norm(queries, axis=1, keepdims=True), 1e-30)
    item_norms = np.einsum("ij,ij->i", items, items)
    out = []
    for b in range(0, QUERIES, BLOCK):
        q = queries[b:b + BLOCK]
        if cosine:
            dist = 1.0 - q @ items.T
        else:
            dist = np.einsum("ij,ij->i", q, q)[:, None] + item_norms[None, :] - 2.0 * (q @ items.T)
        out.append(top_k(dist))
    return np.vstack(out)


def main():
    items = values(0, ITEMS * DIM).reshape(ITEMS, DIM)
    queries = values(ITEMS * DIM, QUERIES * DIM).reshape(QUERIES, DIM)
    threads = int(os.environ.get("OPENBLAS_NUM_THREADS") or os.environ.get("OMP_NUM_THREADS")
                  or os.cpu_count())
    print(f"checksum {float(items[:10].sum()):.6f} threads {threads}")
    for name, cosine in (("squared_euclidean", False), ("cosine", True)):
        search(items, queries, cosine)  # warm-up
        runs = []
        for _ in range(3):
            start = time.perf_counter()
            search(items, queries, cosine)
            runs.append(time.perf_counter() - start)
        best = min(runs)
        rate = QUERIES * ITEMS / best / threads
        print(f"numpy {name}: {best * 1e3:.0f} ms, {rate / 1e6:.1f} M evals/s per core")


if __name__ == "__main__":
    main()
