"""Threads sharing one index: members that give up the interpreter lock (query,
train) beside those that keep it (upsert, get, delete); the index comes out whole.
Processes writing to one stored index at once lose nothing."""
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import new_index, random_vectors

THREADS, ROUNDS, DIM = 8, 60, 8


def _worker(idx, t, live, errors):
    rng = np.random.default_rng(t)
    try:
        for n in range(ROUNDS):
            ids = ["t%d-%d" % (t, 5 * n + j) for j in range(5)]
            vectors = rng.standard_normal((5, DIM)).astype(np.float32)
            idx.upsert([{"id": i, "vector": v, "metadata": {"t": t}} for i, v in zip(ids, vectors)]
                       if n % 2 else ids, None if n % 2 else vectors)
            live.update(zip(ids, map(tuple, vectors.tolist())))
            mine = sorted(live)
            probe = [mine[i] for i in rng.integers(0, len(mine), 3)]
            assert [(r["id"], tuple(r["vector"])) for r in idx.get(probe, include=["vector"])] == [
                (p, live[p]) for p in probe]
            assert [len(h) for h in idx.query(vectors[:2], top_k=3, n_probes=4)] == [3, 3]
            gone = mine[int(rng.integers(0, len(mine)))]
            idx.delete([gone])
            del live[gone]
            if t == 0 and n == ROUNDS // 2:
                idx.train(max_iters=10)
    except BaseException as e:  # reported by the main thread
        errors.append((t, repr(e)))


def test_threads_share_one_index(memory_client):
    idx = new_index(memory_client, dimension=DIM, n_lists=4)
    lives, errors = [dict() for _ in range(THREADS)], []
    threads = [threading.Thread(target=_worker, args=(idx, t, lives[t], errors))
               for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    live = {k: v for d in lives for k, v in d.items()}
    assert (errors, idx.is_trained(), len(live)) == ([], True, THREADS * ROUNDS * 4)
    assert {r["id"]: tuple(r["vector"]) for r in idx.get(sorted(live), include=["vector"])} == live
    # Every list probed: the query sees exactly the live items.
    hits = idx.query(np.zeros(DIM, np.float32), top_k=len(live) + 100, n_probes=4)
    assert sorted(h["id"] for h in hits) == sorted(live)


WRITER = r"""
import json, sys
import numpy as np
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
idx = tdb.Client(*[tdb.DBConfig(*p) for p in job["places"]], cpu_threads=1).load_index(
    job["name"], bytes.fromhex(job["key"]))
w, live = job["writer"], {}
rng = np.random.default_rng(w)
for b in range(job["batches"]):
    ids = ["w%d-%d" % (w, (7 * b + j) % 40) for j in range(10)]  # overwrites its own ids
    vectors = rng.standard_normal((10, job["dim"])).astype(np.float32)
    idx.upsert([{"id": i, "vector": v, "metadata": {"w": w}} for i, v in zip(ids, vectors)])
    live.update(zip(ids, vectors.tolist()))
    idx.delete([ids[b % 10]])
    live.pop(ids[b % 10])
    idx.query(vectors[:2], top_k=3, n_probes=4, filters={"w": w}, include=[])  # beside writers
print(json.dumps(live))
"""


@pytest.mark.parametrize("tamper_evident", [False, True])
@pytest.mark.parametrize("server", ["postgres", "redis", "cluster", "sqlite"], indirect=True)
def test_writer_processes_lose_nothing(server, tamper_evident):
    places = [(server.kind, "writers" + s, server.connection_string) for s in ("_i", "_c", "_t")]
    key, lists = os.urandom(32), 4
    client = tdb.Client(*[tdb.DBConfig(*p) for p in places], cpu_threads=2)
    idx = client.create_index("writers", key, tdb.IndexIVFFlat(DIM, lists),
                              tamper_evident=tamper_evident)
    idx.upsert(["seed%d" % i for i in range(40)], random_vectors(40, DIM))
    idx.train(max_iters=5)
    idx.close()
    job = {"places": places, "name": "writers", "key": key.hex(), "batches": 12, "dim": DIM}
    children = [subprocess.Popen([sys.executable, "-c", WRITER, json.dumps(dict(job, writer=w))],
                                 stdout=subprocess.PIPE, text=True) for w in range(4)]
    try:
        outs = [c.communicate(timeout=300)[0] for c in children]
    finally:
        for c in children:
            c.kill()
            c.wait()
    assert [c.returncode for c in children] == [0] * 4
    lives = [json.loads(o) for o in outs]
    idx = client.load_index("writers", key)
    want = {i: v for live in lives for i, v in live.items()}
    asked = ["w%d-%d" % (w, n) for w in range(4) for n in range(40)]
    got = {r["id"]: r["vector"] for r in idx.get(asked, include=["vector"])}
    assert got.keys() == want.keys()
    assert all(np.allclose(got[i], want[i]) for i in want)
    hits = idx.query(np.zeros(DIM, np.float32), top_k=1000, n_probes=lists, include=[])
    assert sorted(h["id"] for h in hits) == sorted(list(want) + ["seed%d" % i for i in range(40)])
    for w, live in enumerate(lives):
        found = idx.query(np.zeros(DIM, np.float32), top_k=1000, n_probes=1, filters={"w": w},
                          max_probes=lists, include=[])
        assert sorted(h["id"] for h in found) == sorted(live)
    idx.delete_index()
