"""What compaction buys on Redis: stored list entries and cold batch queries.

2,000 items of 128 floats in a trained index of 16 lists (Redis, cache off),
upserted again three times (every overwrite leaves its old entry behind),
then 80 % of the ids deleted. After each step: the number of list entries
stored (fields of the index's list hash, counted with redis-cli) and the time
of a cold batch of 50 queries at 4 probes (best of 5); then the same after
compact(). Answers are checked equal before and after compaction.

Needs the Redis server that scripts/services.sh exports (TAVRIN_TEST_REDIS):

  bash -c 'source scripts/services.sh; start_services .venv/bin/python; .venv/bin/python bench/bench_compact.py'
"""
import os
import subprocess
import time

import numpy as np

import tavrindb_lite as tdb


def hash_fields(port):
    """Fields of every hash in database 0: list entries plus a few rows."""
    script = ("local t = 0 for _, k in ipairs(redis.call('KEYS', '*')) do "
              "if redis.call('TYPE', k).ok == 'hash' then t = t + redis.call('HLEN', k) end "
              "end return t")
    out = subprocess.run(["redis-cli", "-p", port, "EVAL", script, "0"], capture_output=True,
                         check=True).stdout
    return int(out.strip() or 0)


def timed(idx, queries):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        hits = idx.query(queries, top_k=10, n_probes=4)
        best = min(best, time.perf_counter() - start)
    return best, hits


def main():
    conn = os.environ["TAVRIN_TEST_REDIS"]
    port = dict(p.split(":") for p in conn.split(","))["port"]
    subprocess.run(["redis-cli", "-p", port, "FLUSHALL"], check=True, capture_output=True)
    locations = [tdb.DBConfig("redis", "bench_compact_" + s, conn) for s in ("i", "c")]
    client = tdb.Client(*locations, cpu_threads=2)
    idx = client.create_index("compact", os.urandom(32), tdb.IndexIVFFlat(128, 16),
                              max_cache_size=0)
    rng = np.random.default_rng(1234)
    ids = ["doc-%04d" % i for i in range(2000)]
    queries = rng.standard_normal((50, 128)).astype(np.float32)
    idx.upsert(ids, rng.standard_normal((2000, 128)).astype(np.float32))
    idx.train()

    def report(label):
        seconds, hits = timed(idx, queries)
        print("%-28s live %5d  stored fields %6d  cold batch of 50: %6.1f ms"
              % (label, len(idx), hash_fields(port), 1000 * seconds))
        return hits

    report("trained, 2,000 items")
    for _ in range(3):
        idx.upsert(ids, rng.standard_normal((2000, 128)).astype(np.float32))
    before = report("after 3 re-upserts")
    removed = idx.compact()
    after = report("compacted (%d removed)" % removed)
    assert before == after
    idx.delete(ids[:1600])
    before = report("after deleting 80 %")
    removed = idx.compact()
    after = report("compacted (%d removed)" % removed)
    assert before == after
    idx.delete_index()


if __name__ == "__main__":
    main()
