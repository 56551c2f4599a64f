"""An index end to end on a PostgreSQL or Redis server of the test's own, or
an SQLite file: another process reads what this one wrote with the key and
nothing without it; the store sees no plaintext; a killed server fails
operations with their messages and, restarted, serves every upsert that
returned; SQLite writers at once or killed mid-upsert lose no upsert that
returned. A name, an embedding model, contents and stored lists outlive the
handle."""
import gc
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import random_vectors, scratch

KEY = bytes(range(101, 133))
NAME = "quarterly_ledger"
DIM, N_LISTS = 8, 4
# A table name never contains the index name, so that any appearance of the
# name in a dump is the store's doing.
TABLES = "e2e"

# Loads the index in a fresh interpreter and writes what it read as JSON.
CHILD = r"""
import json, sys
import numpy as np
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
try:
    idx = tdb.Client(*[tdb.DBConfig(*l) for l in job["locations"]], cpu_threads=2).load_index(
        job["name"], bytes.fromhex(job["key"]))
    out = {"trained": idx.is_trained(), "config": idx.index_config(),
           "hits": idx.query(np.array(job["queries"], np.float32), top_k=job["top_k"],
                             n_probes=job["n_probes"], filters=job["filters"]),
           "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}
except Exception as e:
    out = {"raised": type(e).__name__, "message": str(e)}
print(json.dumps(out))
"""


def ledger(start, count, seed):
    """Items with distinctive ids, metadata and contents."""
    return [{"id": "ledger-entry-%04d" % k, "vector": v,
             "contents": "contents of entry %d, confidential" % k,
             "metadata": {"desk_code": ["alpha", "bravo", "charlie"][k % 3] + "-desk",
                          "amount": k, "memo": "memo for entry %d" % k}}
            for k, v in zip(range(start, start + count), random_vectors(count, DIM, seed=seed))]


def places(server):
    return [(server.kind, TABLES + s, server.connection_string)
            for s in ("_index", "_config", "_items")]


def client(server):
    return tdb.Client(*[tdb.DBConfig(*p) for p in places(server)], cpu_threads=2)


@pytest.fixture(params=["postgres", "redis", "sqlite"])
def scratch_store(request, tmp_path):
    yield from scratch(request.param, tmp_path)


@pytest.fixture(params=["postgres", "redis"])
def scratch_server(request, tmp_path):
    yield from scratch(request.param, tmp_path)


def test_round_trip_through_other_process_and_handles_without_plaintext_in_the_store(
        scratch_store, fake_model, capfd):
    server = scratch_store
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    items, late = ledger(0, 240, seed=11), ledger(240, 30, seed=12)
    idx.upsert(items)
    idx.train(max_iters=20)
    idx.upsert(late)  # assigned to centroids
    items += late
    queries = random_vectors(5, DIM, seed=13)
    job = {"queries": queries.tolist(), "top_k": 7, "n_probes": 2, "name": NAME,
           "filters": {"$or": [{"desk_code": "bravo-desk"}, {"amount": {"$gte": 250}}]},
           "ids": ["ledger-entry-0003", "ledger-entry-0255", "no-such-entry"],
           "locations": places(server)}
    hits = idx.query(queries, top_k=7, n_probes=2, filters=job["filters"])
    assert [len(h) for h in hits] == [7] * 5
    assert all(x["metadata"]["desk_code"] == "bravo-desk" or x["metadata"]["amount"] >= 250
               for h in hits for x in h)
    expected = {"trained": True, "config": idx.index_config(), "hits": hits,
                "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}
    assert [i["id"] for i in expected["items"]] == job["ids"][:2]

    def child(key):  # a fresh interpreter, with the handle here still open
        done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(dict(job, key=key.hex()))],
                              capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr.decode()
        return json.loads(done.stdout)

    assert child(KEY) == json.loads(json.dumps(expected))
    assert child(bytes(range(102, 134))) == {
        "raised": "ValueError", "message": "Failed to decrypt 1 ciphertexts"}
    del idx
    gc.collect()

    cells = server.dump()
    # The dump did see the index: a record and a contents value per item.
    assert sum(len(c) >= 28 for c in cells) >= 2 * len(items)
    name = NAME.encode()
    assert sorted(c for c in cells if name in c) == [name + b".cei", name + b".cvs"]
    needles = [b"ledger-entry", b"-desk", b"desk_code", b"memo for entry", b"contents of entry",
               b"confidential"]
    for i in items:
        needles += [i["id"].encode(), i["contents"].encode(), json.dumps(i["metadata"]).encode()]
    assert [n for n in needles if any(n in c for c in cells)] == []
    # No 8-byte run of any vector's float32 bytes, at a value boundary.
    runs = {raw[k:k + 8] for raw in (i["vector"].tobytes() for i in items)
            for k in range(0, len(raw) - 7, 4)}
    assert not [c for c in cells if any(c[k:k + 8] in runs for k in range(len(c) - 7))]

    # A name, an embedding model and contents outlive the handle, also with
    # no items location: contents are stored with the index, not in the
    # memory of this process.
    stores = [tdb.DBConfig(*p) for p in places(server)[:2]]
    texts = tdb.Client(*stores).create_index("texts", KEY, tdb.IndexIVFFlat(3, 2, "cosine"),
                                             embedding_model="fake/bag-of-words")
    texts.upsert([{"id": "cat", "contents": "a cat on the mat"},
                  {"id": "sea", "contents": "waves on the sea"}])
    with pytest.raises(ValueError) as e:
        tdb.Client(*stores).create_index("texts", KEY, tdb.IndexIVFFlat(3, 2))
    assert str(e.value) == "Index name texts already exists"
    assert sorted(tdb.Client(*stores).list_indexes()) == [NAME, "texts"]
    del texts
    gc.collect()
    loaded = tdb.Client(*stores).load_index("texts", KEY, max_cache_size=2)
    assert loaded.index_config()["dimension"] == fake_model.DIMENSION
    assert loaded.get(["cat"], include=["contents"]) == [
        {"id": "cat", "contents": b"a cat on the mat"}]
    capfd.readouterr()
    # Upserting into a stored list that is not cached, then reading it, each
    # report the list once; a second read is a silent cache hit.
    loaded.upsert([{"id": "dog", "contents": "a dog in the sea"}])
    assert capfd.readouterr().out == "Token not found: 0\n"
    first = loaded.query(query_contents="the cat sat", top_k=3)
    assert capfd.readouterr().out == "Token not found: 0\n"
    assert [h["id"] for h in first][0] == "cat" and len(first) == 3
    assert loaded.query(query_contents="the cat sat", top_k=3) == first
    assert capfd.readouterr().out == ""
    loaded.delete_index()
    with pytest.raises(ValueError):
        tdb.Client(*stores).load_index("texts", KEY)


def test_killed_server_fails_operations_then_serves_every_returned_upsert(scratch_server, capfd):
    server = scratch_server
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    kept, lost = ledger(0, 120, seed=21), ledger(500, 10, seed=22)
    idx.upsert(kept[:100])
    idx.train(max_iters=20)
    idx.upsert(kept[100:])

    server.kill()
    capfd.readouterr()
    # Each failure names the store operation and the server's reason.
    broken = {"postgres": r"(Batch get failed|Postgres \w+ error|Batch delete failed): (server "
                          r"closed the connection unexpectedly|no connection to the server)",
              "redis": r"\b(HGET|HMGET|HDEL) command failed: Server closed the connection"}
    with pytest.raises(ValueError, match=broken[server.kind]) as e:
        idx.upsert(lost)
    assert "Error ingesting: %s\n" % e.value in capfd.readouterr().err
    for op in (lambda: idx.query(lost[0]["vector"], n_probes=N_LISTS),
               lambda: idx.get(["ledger-entry-0001"]), lambda: idx.delete(["ledger-entry-0001"])):
        with pytest.raises(ValueError, match=broken[server.kind]):
            op()
    with pytest.raises(ValueError) as e:
        client(server).load_index(NAME, KEY)
    assert str(e.value).startswith({"postgres": "Postgres connection error: ",
                                    "redis": "Failed to connect to Redis"}[server.kind])
    # Dropping the broken handle neither raises nor hangs: every count it
    # holds was stored before the failures, so it writes nothing back.
    capfd.readouterr()
    del idx
    gc.collect()
    assert capfd.readouterr().err == ""

    server.start()
    again = client(server).load_index(NAME, KEY)
    assert again.is_trained()
    by_id = {i["id"]: i for i in kept}
    got = again.get(sorted(by_id) + [i["id"] for i in lost])
    assert [(g["id"], g["vector"], g["contents"], g["metadata"]) for g in got] == [
        (k, by_id[k]["vector"].tolist(), by_id[k]["contents"].encode(), by_id[k]["metadata"])
        for k in sorted(by_id)]
    assert sorted(h["id"] for h in again.query(lost[0]["vector"], top_k=1000,
                                               n_probes=N_LISTS)) == sorted(by_id)
    # The restarted server takes writes again.
    again.upsert(lost)
    assert len(again.query(lost[0]["vector"], top_k=1000, n_probes=N_LISTS)) == 130
    # Closed while the server is up (the test's frame outlives the test).
    del again
    gc.collect()
    assert capfd.readouterr().err == ""


# Upserts `batches` batches of `size` items into an SQLite index, printing
# each batch number once its upsert has returned.
WRITER = r"""
import sys
import numpy as np
import tavrindb_lite as tdb
path, key, prefix, batches, size = sys.argv[1:]
idx = tdb.Client(*[tdb.DBConfig("sqlite", t, path) for t in ("k_index", "k_config")],
                 cpu_threads=1).load_index("shared", bytes.fromhex(key))
rng = np.random.default_rng(5)
for b in range(int(batches)):
    idx.upsert([{"id": "%s%d-%d" % (prefix, b, i), "contents": "batch %d item %d" % (b, i),
                 "vector": rng.standard_normal(8).astype(np.float32), "metadata": {"batch": b}}
                for i in range(int(size))])
    print(b, flush=True)
"""


def sqlite_index(path):
    """A trained index in a new SQLite file, closed again; a client on it."""
    def make():
        return tdb.Client(*[tdb.DBConfig("sqlite", t, path) for t in ("k_index", "k_config")])

    idx = make().create_index("shared", KEY, tdb.IndexIVFFlat(DIM, N_LISTS))
    idx.upsert(ledger(0, 40, seed=31))
    idx.train(max_iters=10)
    idx.close()
    return make


def writer(path, prefix, batches, size):
    return subprocess.Popen([sys.executable, "-c", WRITER, path, KEY.hex(), prefix, str(batches),
                             str(size)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def everything(idx):
    """All items a query over every list finds."""
    return {h["id"] for h in idx.query(np.zeros(DIM, np.float32), top_k=10**6, n_probes=N_LISTS,
                                       include=[])}


def test_two_processes_writing_one_sqlite_index_at_once_lose_nothing(tmp_path):
    path = str(tmp_path / "shared.sqlite")
    make = sqlite_index(path)
    procs = [writer(path, p, 6, 500) for p in ("p", "q")]
    try:
        outs = [p.communicate(timeout=300) for p in procs]
    finally:
        for p in procs:
            p.kill()
            p.wait()
    for p, (out, err) in zip(procs, outs):
        assert p.returncode == 0, err
        assert out.split() == [str(b) for b in range(6)]
    idx = make().load_index("shared", KEY)
    ids = ["%s%d-%d" % (p, b, i) for p in "pq" for b in range(6) for i in range(500)]
    assert [g["id"] for g in idx.get(ids, include=[])] == ids
    assert everything(idx) == set(ids) | {i["id"] for i in ledger(0, 40, seed=31)}


def test_process_killed_mid_upsert_keeps_exactly_the_returned_sqlite_upserts(tmp_path):
    path = str(tmp_path / "killed.sqlite")
    make = sqlite_index(path)
    batch = 3000
    proc = writer(path, "b", 100000, batch)
    try:
        acked = [int(proc.stdout.readline()) for _ in range(2)]
        # Killed once it holds the file's write lock, inside the transaction
        # of its next upsert (or, should it commit first, past it: both are
        # checked below).
        probe = sqlite3.connect(path, timeout=0, isolation_level=None)
        while proc.poll() is None:
            try:
                probe.execute("BEGIN IMMEDIATE")
            except sqlite3.OperationalError:
                break
            probe.execute("ROLLBACK")
        probe.close()
        proc.send_signal(signal.SIGKILL)
        acked += [int(line) for line in proc.stdout.read().split()]
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()
    assert proc.returncode == -signal.SIGKILL
    assert acked == list(range(len(acked)))

    db = sqlite3.connect(path)
    assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    db.close()
    loaded = make().load_index("shared", KEY)
    nxt = len(acked)
    for b in acked + [nxt]:
        ids = ["b%d-%d" % (b, i) for i in range(batch)]
        got = loaded.get(ids, include=["contents", "metadata"])
        if b == nxt and not got:
            continue  # the upsert it was killed in: none of it
        # A batch that returned is there whole; so is one that committed
        # just before the kill without having printed.
        assert [(g["id"], g["contents"], g["metadata"]) for g in got] == [
            (ids[i], b"batch %d item %d" % (b, i), {"batch": b}) for i in range(batch)]
    assert loaded.get(["b%d-0" % (nxt + 1)]) == []
    # The lists agree with the records: every stored item is found.
    stored = 40 + batch * (len(acked) + (1 if loaded.get(["b%d-0" % nxt]) else 0))
    assert len(everything(loaded)) == stored
    # And the file takes writes again.
    loaded.upsert(ledger(900, 5, seed=32))
    assert len(everything(loaded)) == stored + 5


# Trains, overwrites, compacts and retrains an index of the parent's, saying
# "start" once it has loaded it; the parent kills it at a random moment.
UPKEEP = r"""
import json, sys
import numpy as np
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
idx = tdb.Client(*[tdb.DBConfig(*l) for l in job["locations"]],
                 cpu_threads=2).load_index(job["name"], bytes.fromhex(job["key"]))
print("start", flush=True)
if not idx.is_trained():
    idx.train(max_iters=10)
rng = np.random.default_rng(job["seed"])
ids = ["u%d" % i for i in rng.choice(job["n"], 300, replace=False)]
idx.upsert(ids, rng.standard_normal((300, job["dim"])).astype(np.float32))
idx.compact()
idx.retrain(max_iters=10)
"""


def test_killed_training_compaction_or_retraining_loses_no_item(scratch_store):
    """The write-step sweep fails writes; this kills a real process anywhere in them."""
    dim, n, lists = 32, 6000, 16
    name, key = "upkeep_%s" % os.urandom(3).hex(), os.urandom(32)
    idx = client(scratch_store).create_index(name, key, tdb.IndexIVFFlat(dim, lists))
    ids = ["u%d" % i for i in range(n)]
    idx.upsert(ids, random_vectors(n, dim, seed=3))
    idx.upsert(ids[:500], random_vectors(500, dim, seed=4))  # stale entries
    idx.close()
    rng = np.random.default_rng()
    job = {"locations": places(scratch_store), "name": name, "key": key.hex(), "dim": dim, "n": n}
    for kill in range(3):
        job["seed"] = kill
        child = subprocess.Popen([sys.executable, "-c", UPKEEP, json.dumps(job)],
                                 stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "start\n"
            # Any moment is one the index must survive, whenever the kill lands.
            time.sleep(rng.uniform(0, 2.0))
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        again = client(scratch_store).load_index(name, key)
        assert sorted(r["id"] for r in again.get(ids, include=[])) == sorted(ids)
        found = [h["id"] for h in again.query(np.zeros(dim, np.float32), top_k=n + 10,
                                              n_probes=lists, include=[])]
        assert sorted(found) == sorted(ids)
        assert len(again) == n
        again.close()
