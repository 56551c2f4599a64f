"""Several Python threads sharing one index: the members that give up the
interpreter lock (query, train) run beside the ones that keep it (upsert,
get, delete), and the index must come out whole."""
import threading
import time

import numpy as np

from conftest import new_index

THREADS = 8
SECONDS = 3.0
DIM = 8


def _worker(idx, t, deadline, live, errors, trained):
    rng = np.random.default_rng(t)
    n = 0
    try:
        while time.monotonic() < deadline:
            ids = ["t%d-%d" % (t, n + j) for j in range(5)]
            vectors = rng.standard_normal((5, DIM)).astype(np.float32)
            n += 5
            if n % 10:
                idx.upsert(ids, vectors)
            else:
                idx.upsert([{"id": i, "vector": v, "metadata": {"t": t}}
                            for i, v in zip(ids, vectors)])
            live.update(zip(ids, map(tuple, vectors.tolist())))
            mine = sorted(k for k in live if k.startswith("t%d-" % t))
            probe = [mine[i] for i in rng.integers(0, len(mine), 3)]
            got = idx.get(probe, include=["vector"])
            assert [r["id"] for r in got] == probe
            for r in got:
                assert tuple(r["vector"]) == live[r["id"]]
            hits = idx.query(vectors[:2], top_k=3, n_probes=4)
            assert len(hits) == 2 and all(len(h) <= 3 for h in hits)
            gone = mine[int(rng.integers(0, len(mine)))]
            idx.delete([gone])
            del live[gone]
            if t == 0 and not trained and n >= 200:
                idx.train(max_iters=10)
                trained.append(True)
    except BaseException as e:  # reported by the main thread
        errors.append((t, repr(e)))


def test_threads_share_one_index(memory_client):
    idx = new_index(memory_client, dimension=DIM, n_lists=4)
    lives = [dict() for _ in range(THREADS)]
    errors, trained = [], []
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=_worker, args=(idx, t, deadline, lives[t], errors, trained))
               for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    assert trained == [True] and idx.is_trained()
    live = {k: v for d in lives for k, v in d.items()}
    assert len(live) > THREADS * 20
    got = idx.get(sorted(live), include=["vector"])
    assert {r["id"]: tuple(r["vector"]) for r in got} == live
    # Every list probed: the query sees exactly the live items.
    hits = idx.query(np.zeros(DIM, np.float32), top_k=len(live) + 100, n_probes=4)
    assert sorted(h["id"] for h in hits) == sorted(live)
