"""Key rotation on every persistent store: the index answers as before under
the new key, the old key opens nothing, no stored value survives the
rotation, and a process killed anywhere in a rotation leaves the index under
exactly one of the two keys, holding every item."""
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import random_vectors, refusal

DIM, LISTS = 8, 4
FILTER = {"tag": {"$ne": "t1"}}


def places(server):
    return [(server.kind, "rot" + s, server.connection_string)
            for s in ("_index", "_config", "_items")]


def client(server):
    return tdb.Client(*[tdb.DBConfig(*p) for p in places(server)], cpu_threads=2)


def filled(server, name, key, n, tamper_evident=False):
    idx = client(server).create_index(name, key, tdb.IndexIVFFlat(DIM, LISTS),
                                      tamper_evident=tamper_evident)
    ids = ["r%d" % i for i in range(n)]
    idx.upsert([{"id": i, "vector": v, "contents": "contents of " + i,
                 "metadata": {"tag": "t%d" % (k % 3)}}
                for k, (i, v) in enumerate(zip(ids, random_vectors(n, DIM, seed=5)))])
    idx.train(max_iters=5)
    idx.upsert(ids[:n // 10], random_vectors(n // 10, DIM, seed=6))  # stale entries
    idx.delete(ids[-n // 20:])
    return idx, ids


def sealed(server):
    """Every stored cell long enough to be a sealed value (IV and tag alone
    take 28 bytes): names, numbers and list entries are shorter; the write
    fences' keys hold numbers only."""
    return {c for c in server.dump() if len(c) >= 28 and not c.startswith(b"tavrindb:fence:")}


def answers(idx, ids):
    return (idx.get(ids), idx.query(random_vectors(5, DIM, seed=7), top_k=7, n_probes=LISTS,
                                    filters=FILTER), len(idx))


# (created tamper-evident, rotate_key's tamper_evident): original to original,
# original to tamper-evident, tamper-evident to tamper-evident.
@pytest.mark.parametrize("formats", [(False, None), (False, True), (True, None)])
def test_rotation_keeps_every_answer_and_leaves_no_old_value(server, formats):
    name, old, new = "rotating", os.urandom(32), os.urandom(32)
    idx, ids = filled(server, name, old, 300, tamper_evident=formats[0])
    before_answers, before_values = answers(idx, ids), sealed(server)
    assert "The new key is the key the index is sealed with." in refusal(lambda: idx.rotate_key(old))
    if formats[0]:
        assert "cannot move back" in refusal(lambda: idx.rotate_key(new, tamper_evident=False))
    assert sealed(server) == before_values
    idx.rotate_key(new, tamper_evident=formats[1])
    assert answers(idx, ids) == before_answers
    assert idx.tamper_evident == (formats[0] or bool(formats[1]))
    assert not sealed(server) & before_values
    refusal(lambda: client(server).load_index(name, old))
    assert answers(client(server).load_index(name, new), ids) == before_answers


def test_min_epoch_refuses_stores_rolled_back(tmp_path):
    path = str(tmp_path / "store.sqlite")
    c = tdb.Client(*[tdb.DBConfig("sqlite", t, path) for t in ("i", "c", "t")], cpu_threads=2)
    key, vectors = os.urandom(32), random_vectors(20, DIM)
    plain = c.create_index("plain", key, tdb.IndexIVFFlat(DIM, LISTS))
    assert plain.epoch() is None
    assert "tamper-evident" in refusal(lambda: c.load_index("plain", key, min_epoch=1))
    idx = c.create_index("te", key, tdb.IndexIVFFlat(DIM, LISTS), tamper_evident=True)
    idx.upsert(["a%d" % i for i in range(10)], vectors[:10])
    seen = idx.epoch()
    idx.close()
    plain.close()
    shutil.copytree(tmp_path, tmp_path / "old")
    idx = c.load_index("te", key)
    idx.upsert(["b%d" % i for i in range(10)], vectors[10:])
    newest = idx.epoch()
    assert newest > seen
    idx.close()
    c.load_index("te", key, min_epoch=newest).close()
    for name in os.listdir(tmp_path / "old"):  # the whole store as it was: undetectable alone
        shutil.copy(tmp_path / "old" / name, tmp_path / name)
    assert len(c.load_index("te", key)) == 10
    assert refusal(lambda: c.load_index("te", key, min_epoch=newest)).startswith(
        "Integrity check failed: ")


ROTATE = r"""
import json, sys
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
idx = tdb.Client(*[tdb.DBConfig(*p) for p in job["places"]], cpu_threads=2).load_index(
    job["name"], bytes.fromhex(job["from"]))
print("start", flush=True)
idx.rotate_key(bytes.fromhex(job["to"]), tamper_evident=job["te"])
print("done", flush=True)
"""


def test_killed_rotation_leaves_the_index_under_one_key_with_every_item(server):
    keys = [os.urandom(32), os.urandom(32)]
    idx, ids = filled(server, "killed", keys[0], 3000)
    live = sorted(r["id"] for r in idx.get(ids, include=[]))
    idx.close()
    rng, under = np.random.default_rng(), 0
    for k in range(4):
        # The later rotations move the index to the tamper-evident format.
        job = {"places": places(server), "name": "killed", "from": keys[under].hex(),
               "to": keys[1 - under].hex(), "te": k >= 2 or None}
        child = subprocess.Popen([sys.executable, "-c", ROTATE, json.dumps(job)],
                                 stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "start\n"
            # Whenever the kill lands, the index must survive it.
            time.sleep(rng.uniform(0, 0.5))
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        opened = []
        for k, key in enumerate(keys):
            try:
                opened.append((k, client(server).load_index("killed", key)))
            except ValueError:
                pass
        assert len(opened) == 1, "the index loads under %d keys" % len(opened)
        under, again = opened[0]
        assert sorted(r["id"] for r in again.get(ids, include=[])) == live
        found = again.query(np.zeros(DIM, np.float32), top_k=len(ids), n_probes=LISTS,
                            include=[])
        assert sorted(h["id"] for h in found) == live
        again.close()
