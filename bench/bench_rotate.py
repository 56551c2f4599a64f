"""Key rotation time on each store, in both storage formats.

Creates, fills (--items clustered float32 vectors, seed 1234, with contents
and metadata) and trains an index on each store, then times one
rotate_key. PostgreSQL and Redis come from TAVRIN_TEST_POSTGRES and
TAVRIN_TEST_REDIS (as scripts/services.sh exports them) and are skipped
without them; SQLite uses a temporary file. Every index is deleted again.

  .venv/bin/python bench/bench_rotate.py [--items 100000] [--lists 256]
"""
import argparse
import os
import tempfile
import time

import numpy as np

import tavrindb_lite as tdb


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--items", type=int, default=100000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--lists", type=int, default=256)
    args = p.parse_args()
    rng = np.random.default_rng(1234)
    centres = rng.standard_normal((1000, args.dim)).astype(np.float32)
    data = (centres[rng.integers(0, 1000, args.items)]
            + 0.5 * rng.standard_normal((args.items, args.dim))).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        stores = [("memory", None), ("sqlite", os.path.join(tmp, "rot.sqlite")),
                  ("redis", os.environ.get("TAVRIN_TEST_REDIS")),
                  ("postgres", os.environ.get("TAVRIN_TEST_POSTGRES"))]
        print("%d x %d, %d lists: rotate_key seconds" % (args.items, args.dim, args.lists))
        for kind, conn in stores:
            if kind != "memory" and conn is None:
                print("%-9s skipped (no server)" % kind)
                continue
            row = []
            for tamper in (False, True):
                places = [tdb.DBConfig(kind, "rot" + s, conn) if conn else tdb.DBConfig(kind)
                          for s in ("_i", "_c", "_t")]
                idx = tdb.Client(*places, cpu_threads=2).create_index(
                    "rot", os.urandom(32), tdb.IndexIVFFlat(args.dim, args.lists),
                    tamper_evident=tamper)
                for b in range(0, args.items, 10000):
                    idx.upsert([{"id": "i%d" % i, "vector": data[i], "contents": b"c%d" % i,
                                 "metadata": {"g": i % 7}}
                                for i in range(b, min(args.items, b + 10000))])
                idx.train(max_iters=5)
                start = time.perf_counter()
                idx.rotate_key(os.urandom(32))
                row.append(time.perf_counter() - start)
                idx.delete_index()
            print("%-9s original %6.2f   tamper-evident %6.2f" % (kind, row[0], row[1]))


if __name__ == "__main__":
    main()
