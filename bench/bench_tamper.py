"""What the tamper-evident format costs, against the original format.

One data set (clustered float32 vectors, seed 1234); both formats --rounds
times, on the in-process store or an SQLite file, taking turns at every step
(batch by batch while upserting, query by query for single queries), so that
other load on a shared machine weighs on both alike:
  upsert   every item into a fresh index, in batches of 10,000 (items/s);
  train    k-means and the re-ingest of every item (seconds);
  cold     the batch of queries with no cache (queries/s);
  cached   the same batch with every list cached, after one warm-up (queries/s);
  single   one query at a time, no cache: the median latency (ms).
Prints each figure's median over the rounds and the ratio of the formats.

  .venv/bin/python bench/bench_tamper.py [--items 100000] [--dim 128] [--lists 256]
      [--probes 8] [--queries 1000] [--rounds 5] [--store memory|sqlite]
"""
import argparse
import os
import statistics
import tempfile
import time

import numpy as np

import tavrindb_lite as tdb


def clustered(n, dim, centres, rng):
    c = rng.standard_normal((centres, dim)).astype(np.float32)
    pick = rng.integers(0, centres, n)
    return (c[pick] + 0.5 * rng.standard_normal((n, dim))).astype(np.float32)


def one_round(data, queries, args, tmp, first):
    """Both formats, each step taken in turn by the two (`first` going
    first, and the order alternating batch by batch while upserting), so
    that a slow spell of a shared machine weighs on both alike."""
    def client():
        if args.store == "memory":
            places = [tdb.DBConfig("memory")] * 3
        else:
            path = os.path.join(tmp, "bench_%s.sqlite" % os.urandom(4).hex())
            places = [tdb.DBConfig("sqlite", t, path) for t in ("i", "c", "t")]
        return tdb.Client(*places, cpu_threads=args.threads)

    formats = (first, not first)
    clients = {t: client() for t in formats}
    ids = ["item-%d" % i for i in range(len(data))]
    out = {t: {} for t in formats}

    def timed(call):
        start = time.perf_counter()
        call()
        return time.perf_counter() - start

    def build(name, cache):
        idx = {t: clients[t].create_index(name, os.urandom(32),
                                          tdb.IndexIVFFlat(data.shape[1], args.lists),
                                          max_cache_size=cache, tamper_evident=t)
               for t in formats}
        spent = {t: 0.0 for t in formats}
        for k, b in enumerate(range(0, len(data), 10000)):
            for t in formats if k % 2 == 0 else formats[::-1]:
                spent[t] += timed(lambda: idx[t].upsert(ids[b:b + 10000], data[b:b + 10000]))
        trained = {t: timed(lambda: idx[t].train(max_iters=args.iters)) for t in formats}
        return idx, spent, trained

    cold, upsert, train = build("cold", 0)
    for t in formats:
        out[t]["upsert items/s"] = len(data) / upsert[t]
        out[t]["train s"] = train[t]
    for t in formats:
        out[t]["cold q/s"] = len(queries) / timed(
            lambda: cold[t].query(queries, top_k=10, n_probes=args.probes, include=[]))
    lat = {t: [] for t in formats}
    for q in queries[:args.singles]:
        for t in formats:
            lat[t].append(timed(lambda: cold[t].query(q, top_k=10, n_probes=args.probes, include=[])))
    for t in formats:
        out[t]["single cold ms"] = 1000 * statistics.median(lat[t])
        cold[t].delete_index()
    warm = build("warm", args.lists)[0]
    for t in formats:
        warm[t].query(queries, top_k=10, n_probes=args.probes, include=[])  # fills the cache
    for t in formats:
        out[t]["cached q/s"] = len(queries) / timed(
            lambda: warm[t].query(queries, top_k=10, n_probes=args.probes, include=[]))
        warm[t].delete_index()
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--items", type=int, default=100000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--lists", type=int, default=256)
    p.add_argument("--probes", type=int, default=8)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--singles", type=int, default=200)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--iters", type=int, default=10)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--store", choices=["memory", "sqlite"], default="memory")
    args = p.parse_args()
    rng = np.random.default_rng(1234)
    data = clustered(args.items, args.dim, 1000, rng)
    queries = clustered(args.queries, args.dim, 1000, rng)
    runs = {False: [], True: []}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            out = one_round(data, queries, args, tmp, first=r % 2 == 1)
            for tamper in (False, True):
                runs[tamper].append(out[tamper])
    print("%d x %d, %d lists, %d probes, %d queries, %s store, medians of %d rounds" % (
        args.items, args.dim, args.lists, args.probes, args.queries, args.store, args.rounds))
    print("%-16s %14s %16s %8s" % ("", "original", "tamper-evident", "ratio"))
    for key in runs[False][0]:
        a = statistics.median(r[key] for r in runs[False])
        b = statistics.median(r[key] for r in runs[True])
        print("%-16s %14.2f %16.2f %8.3f" % (key, a, b, b / a))


if __name__ == "__main__":
    main()
