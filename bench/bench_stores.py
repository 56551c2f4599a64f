"""The same index work on the four stores, through the Python module.

One run builds one data set (clustered float32 vectors, seed 1234) and, on the
in-process store, PostgreSQL, Redis and an SQLite file in turn:
  upsert   all items into a fresh untrained index, in batches (items/s);
  train    k-means into the lists and the re-ingest of every item (seconds);
  query    the batch of queries, cold (max_cache_size 0: every probed list is
           read from the store and opened), top 10 at n_probes probes; best of
           --repeats runs (queries/s).
Each figure is the best of --rounds passes that take turns over the stores,
so that other load on a shared machine weighs on all alike.
The servers are those named by TAVRIN_TEST_POSTGRES / TAVRIN_TEST_REDIS (as
scripts/services.sh exports them); without them the script starts its own on
loopback (scripts/launch_servers.py) and stops them afterwards. The SQLite
file lives in a temporary directory. Every index it creates is deleted again.

  .venv/bin/python bench/bench_stores.py [--items 20000] [--lists 64] [--queries 200]
      [--stores memory,postgres,redis,sqlite]
"""
import argparse
import contextlib
import os
import sys
import tempfile
import time

import numpy as np

import tavrindb_lite as tdb

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def clustered(n, dim, centres, rng):
    c = rng.standard_normal((centres, dim)).astype(np.float32)
    pick = rng.integers(0, centres, n)
    return (c[pick] + 0.5 * rng.standard_normal((n, dim))).astype(np.float32)


@contextlib.contextmanager
def server(kind, variable):
    """A connection string: the shared server's, or one of our own."""
    if os.environ.get(variable):
        yield os.environ[variable]
        return
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    import launch_servers
    s = launch_servers.ScratchServer(kind)
    try:
        yield s.connection_string
    finally:
        s.close()


def measure(label, locations, data, queries, args):
    client = tdb.Client(*locations, cpu_threads=args.threads)
    name = "bench_%s" % os.urandom(4).hex()
    idx = client.create_index(name, os.urandom(32),
                              tdb.IndexIVFFlat(data.shape[1], args.lists, "euclidean"),
                              max_cache_size=0)
    try:
        ids = ["item-%d" % i for i in range(len(data))]
        start = time.perf_counter()
        for b in range(0, len(data), args.batch):
            idx.upsert(ids[b:b + args.batch], data[b:b + args.batch])
        upsert_s = time.perf_counter() - start

        start = time.perf_counter()
        idx.train(max_iters=20)
        train_s = time.perf_counter() - start

        best = float("inf")
        for _ in range(args.repeats):
            start = time.perf_counter()
            hits = idx.query(queries, top_k=10, n_probes=args.probes)
            best = min(best, time.perf_counter() - start)
            assert len(hits) == len(queries) and all(len(h) == 10 for h in hits)
    finally:
        idx.delete_index()
    return {"store": label, "upsert_per_s": len(data) / upsert_s, "train_s": train_s,
            "query_per_s": len(queries) / best}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--items", type=int, default=20000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--lists", type=int, default=64)
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--probes", type=int, default=8)
    p.add_argument("--batch", type=int, default=2000, help="items per upsert call")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--repeats", type=int, default=3, help="query batches per round")
    p.add_argument("--rounds", type=int, default=3, help="passes over the three stores")
    p.add_argument("--stores", default="memory,postgres,redis,sqlite",
                   help="comma-separated stores to measure")
    args = p.parse_args()

    rng = np.random.default_rng(1234)
    data = clustered(args.items, args.dim, 200, rng)
    queries = clustered(args.queries, args.dim, 200, rng)
    print("%d x %d items, %d lists, %d queries, top 10 at %d probes, %d threads, "
          "upsert batches of %d, best of %d rounds" % (
              args.items, args.dim, args.lists, args.queries, args.probes, args.threads,
              args.batch, args.rounds))
    tag = "bench_%s" % os.urandom(3).hex()
    memory = tdb.DBConfig("memory")
    with contextlib.ExitStack() as stack:
        conninfo = stack.enter_context(server("postgres", "TAVRIN_TEST_POSTGRES"))
        redis = stack.enter_context(server("redis", "TAVRIN_TEST_REDIS"))
        sqlite_path = os.path.join(stack.enter_context(tempfile.TemporaryDirectory()),
                                   "bench.sqlite")
        stores = [("memory", [memory, memory, memory]),
                  ("postgres", [tdb.DBConfig("postgres", tag + s, conninfo)
                                for s in ("_index", "_config", "_items")]),
                  ("redis", [tdb.DBConfig("redis", tag + s, redis)
                             for s in ("_index", "_config", "_items")]),
                  ("sqlite", [tdb.DBConfig("sqlite", tag + s, sqlite_path)
                              for s in ("_index", "_config", "_items")])]
        stores = [s for s in stores if s[0] in args.stores.split(",")]
        # Warm-up (thread team, allocator), then rounds that take turns, so
        # that load from elsewhere on a shared machine hits every store alike.
        measure("warm-up", stores[0][1], data[:2000], queries, args)
        best = {}
        for _ in range(args.rounds):
            for label, locations in stores:
                r = measure(label, locations, data, queries, args)
                b = best.setdefault(label, r)
                b["upsert_per_s"] = max(b["upsert_per_s"], r["upsert_per_s"])
                b["train_s"] = min(b["train_s"], r["train_s"])
                b["query_per_s"] = max(b["query_per_s"], r["query_per_s"])
    rows = [best[label] for label, _ in stores]
    print()
    print("| store    | upsert items/s | train s | cold batch queries/s |")
    print("|----------|---------------:|--------:|---------------------:|")
    for r in rows:
        print("| %-8s | %14.0f | %7.2f | %20.0f |" % (r["store"], r["upsert_per_s"], r["train_s"],
                                                      r["query_per_s"]))


if __name__ == "__main__":
    main()
