"""Threads sharing one index: members that give up the interpreter lock (query,
train) beside those that keep it (upsert, get, delete); the index comes out whole."""
import threading

import numpy as np

from conftest import new_index

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
