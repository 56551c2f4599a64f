"""Filtered against unfiltered batch queries on cached lists.

100,000 x 128 in the in-process store, 256 lists, every list cached after a
warm-up query; 1,000 queries at n_probes 8, top 10, unfiltered and with a
filter that 10 % of the items match. Prints the best of --repeat runs of
each, their ratio, and the resident memory after each kind (the
filtered queries keep each cached list's parsed metadata).

  OMP_WAIT_POLICY=passive .venv/bin/python bench/bench_filtered_cached.py
"""
import argparse
import os
import time

import numpy as np
import tavrindb_lite as tdb


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rng = np.random.default_rng(5)
    d, lists = 128, 256
    centres = rng.standard_normal((1000, d)).astype(np.float32)
    x = (centres[rng.integers(1000, size=args.n + 1000)]
         + 1.35 * rng.standard_normal((args.n + 1000, d))).astype(np.float32)
    xb, xq = x[:args.n], x[args.n:]
    m = tdb.DBConfig("memory")
    client = tdb.Client(m, m, m, cpu_threads=2)
    idx = client.create_index("bench", bytes(range(1, 33)), tdb.IndexIVFFlat(d, lists),
                              max_cache_size=lists)
    items = [{"id": str(i), "vector": xb[i],
              "metadata": {"tag": "hit" if i % 10 == 0 else "miss", "rank": int(i)}}
             for i in range(args.n)]
    for start in range(0, args.n, 20_000):
        idx.upsert(items[start:start + 20_000])
    idx.train()
    idx.query(xq[:1], top_k=10, n_probes=lists)  # every list into the cache
    def rss_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    best = {}
    rss = {}
    for name, f in (("unfiltered", {}), ("filtered 10 %", {"tag": "hit"})):
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            idx.query(xq, top_k=10, n_probes=8, filters=f, include=[])
            best[name] = min(best.get(name, 1e9), time.perf_counter() - t0)
        rss[name] = rss_mb()
    for name, s in best.items():
        print(f"{name:15s} {len(xq) / s:10.0f} queries/s   resident after: {rss[name]:7.1f} MB")
    print(f"filtered / unfiltered time: {best['filtered 10 %'] / best['unfiltered']:.2f}")

if __name__ == "__main__":
    main()
