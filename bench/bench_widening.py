"""Filtered queries that come back full: a rare tag over a trained index.

Builds 100,000 x 128 clustered vectors (seed 1234) in 256 lists on the
in-process store; 1 % of the items, drawn at random and so spread over the
lists, carry {"tag": "rare"}, the others {"tag": "common"}. Then a batch of
queries filtered on the rare tag, top 10 and top 100 at n_probes 8, without and with
max_probes=256, cold (max_cache_size 0: every probed list read and opened)
and cached (every list kept after a warm-up batch): mean results per query
and the batch time (best of --repeats).

  .venv/bin/python bench/bench_widening.py [--items 100000] [--queries 200]
"""
import argparse
import os
import time

import numpy as np

import tavrindb_lite as tdb


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--items", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--lists", type=int, default=256)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--share", type=float, default=0.01)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    rng = np.random.default_rng(1234)
    centres = rng.standard_normal((args.lists, args.dim)).astype(np.float32)
    pick = rng.integers(0, args.lists, args.items)
    data = (centres[pick] + 0.5 * rng.standard_normal((args.items, args.dim))).astype(np.float32)
    rare = rng.random(args.items) < args.share
    queries = data[rng.integers(0, args.items, args.queries)] + 0.1 * rng.standard_normal(
        (args.queries, args.dim)).astype(np.float32)
    queries = queries.astype(np.float32)

    tdb.use_logging(True)  # the cache's "Token not found" lines stay out of the table
    memory = tdb.DBConfig("memory")
    client = tdb.Client(memory, memory, memory, cpu_threads=args.threads)
    key = os.urandom(32)
    config = tdb.IndexIVFFlat(args.dim, args.lists, "euclidean")
    for label, cache in (("cold", 0), ("cached", args.lists)):
        idx = client.create_index("widening_" + label, key, config, max_cache_size=cache)
        ids = ["i%d" % i for i in range(args.items)]
        for b in range(0, args.items, 10_000):
            idx.upsert([{"id": ids[i], "vector": data[i],
                         "metadata": {"tag": "rare" if rare[i] else "common"}}
                        for i in range(b, min(args.items, b + 10_000))])
        idx.train()
        if cache:
            idx.query(queries, top_k=10, n_probes=args.lists, filters={"tag": "rare"})
        for top_k in (10, 100):
            for max_probes in (None, args.lists):
                kwargs = {} if max_probes is None else {"max_probes": max_probes}
                best = float("inf")
                for _ in range(args.repeats):
                    start = time.perf_counter()
                    hits = idx.query(queries, top_k=top_k, n_probes=8, filters={"tag": "rare"},
                                     **kwargs)
                    best = min(best, time.perf_counter() - start)
                mean = sum(len(h) for h in hits) / len(hits)
                print("%-6s top_k=%-3d max_probes=%-4s results/query %6.2f  batch %7.1f ms"
                      "  (%.0f q/s)" % (label, top_k, max_probes, mean, 1000 * best,
                                        len(queries) / best))
        idx.delete_index()


if __name__ == "__main__":
    main()
