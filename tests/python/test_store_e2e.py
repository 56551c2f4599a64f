"""An index on a PostgreSQL or Redis server of the test's own, or an SQLite
file, end to end: another process with the key reads exactly what this one
wrote, and without it reads nothing; the store never sees an id, metadata,
contents, a vector or the index name outside its two configuration item
names; a server killed in the middle of a session fails the next operations
with their messages, then, restarted, serves every item whose upsert
returned; a process killed in the middle of an upsert into an SQLite file
leaves every upsert that returned and nothing of the one it was in. And on
the shared servers and an SQLite file: a name, an embedding model and stored
lists outlive the handle."""
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
from conftest import random_vectors

KEY = bytes(range(101, 133))
WRONG_KEY = bytes(range(102, 134))
NAME = "quarterly_ledger"
DIM = 8
N_LISTS = 4
# A table name never contains the index name, so that any appearance of the
# name in a dump is the store's doing.
TABLES = "e2e"

# Loads the index in a fresh interpreter and writes what it read as JSON.
CHILD = r"""
import json, sys
import numpy as np
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
locations = [tdb.DBConfig(*l) for l in job["locations"]]
try:
    idx = tdb.Client(*locations, cpu_threads=2).load_index(job["name"], bytes.fromhex(job["key"]))
    out = {"trained": idx.is_trained(), "config": idx.index_config(),
           "hits": idx.query(np.array(job["queries"], np.float32), top_k=job["top_k"],
                             n_probes=job["n_probes"], filters=job["filters"]),
           "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}
except Exception as e:
    out = {"raised": type(e).__name__, "message": str(e)}
with open(job["out"], "w") as f:
    json.dump(out, f)
"""


def ledger(start, count, seed):
    """Items with distinctive ids, metadata and contents."""
    vectors = random_vectors(count, DIM, seed=seed)
    items = []
    for k, v in zip(range(start, start + count), vectors):
        items.append({"id": "ledger-entry-%04d" % k, "vector": v,
                      "contents": "contents of entry %d, confidential" % k,
                      "metadata": {"desk_code": ["alpha", "bravo", "charlie"][k % 3] + "-desk",
                                   "amount": k, "memo": "memo for entry %d" % k}})
    return items


def locations(server):
    return [tdb.DBConfig(server.kind, TABLES + s, server.connection_string)
            for s in ("_index", "_config", "_items")]


def run_child(server, key, job, tmp_path):
    out = tmp_path / ("child-%s.json" % key.hex()[:8])
    job = dict(job, key=key.hex(), out=str(out), name=NAME,
               locations=[(server.kind, TABLES + s, server.connection_string)
                          for s in ("_index", "_config", "_items")])
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], capture_output=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    return json.loads(out.read_text())


def windows(vectors):
    """Every 8-byte run of every vector's float32 bytes at a value boundary."""
    found = set()
    for v in vectors:
        b = np.asarray(v, np.float32).tobytes()
        found.update(b[i:i + 8] for i in range(0, len(b) - 7, 4))
    return found


def test_other_process_reads_with_the_key_and_server_sees_no_plaintext(scratch_store, tmp_path):
    server = scratch_store
    idx = tdb.Client(*locations(server), cpu_threads=2).create_index(
        NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    items = ledger(0, 240, seed=11)
    late = ledger(240, 30, seed=12)  # upserted after training: assigned to centroids
    idx.upsert(items)
    idx.train(max_iters=20)
    idx.upsert(late)
    items += late
    queries = random_vectors(5, DIM, seed=13)
    job = {"queries": queries.tolist(), "top_k": 7, "n_probes": 2,
           "filters": {"$or": [{"desk_code": "bravo-desk"}, {"amount": {"$gte": 250}}]},
           "ids": ["ledger-entry-0003", "ledger-entry-0255", "no-such-entry"]}
    hits = idx.query(queries, top_k=job["top_k"], n_probes=job["n_probes"],
                     filters=job["filters"])
    assert [len(h) for h in hits] == [7] * 5
    for h in hits:
        assert all(x["metadata"]["desk_code"] == "bravo-desk" or x["metadata"]["amount"] >= 250
                   for x in h)
    expected = {"trained": True, "config": idx.index_config(), "hits": hits,
                "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}
    assert [i["id"] for i in expected["items"]] == job["ids"][:2]

    # A fresh interpreter, with the handle here still open, reads the same.
    assert run_child(server, KEY, job, tmp_path) == json.loads(json.dumps(expected))
    assert run_child(server, WRONG_KEY, job, tmp_path) == {
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
    leaks = [n for n in needles if any(n in c for c in cells)]
    assert leaks == []
    vector_runs = windows([i["vector"] for i in items])
    for c in cells:
        assert not [c[i:i + 8] for i in range(len(c) - 7) if c[i:i + 8] in vector_runs]


def test_killed_server_fails_operations_then_serves_every_returned_upsert(
        scratch_server, capfd):
    server = scratch_server
    client = tdb.Client(*locations(server), cpu_threads=2)
    idx = client.create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    kept = ledger(0, 120, seed=21)
    idx.upsert(kept[:100])
    idx.train(max_iters=20)
    idx.upsert(kept[100:])
    lost = ledger(500, 10, seed=22)

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
               lambda: idx.get(["ledger-entry-0001"]),
               lambda: idx.delete(["ledger-entry-0001"])):
        with pytest.raises(ValueError, match=broken[server.kind]):
            op()
    with pytest.raises(ValueError) as e:
        tdb.Client(*locations(server)).load_index(NAME, KEY)
    assert str(e.value).startswith({"postgres": "Postgres connection error: ",
                                    "redis": "Failed to connect to Redis"}[server.kind])
    # Dropping the broken handle neither raises nor hangs: every count it
    # holds was stored before the failures, so it writes nothing back.
    capfd.readouterr()
    del idx
    gc.collect()
    assert capfd.readouterr().err == ""

    server.start()
    again = tdb.Client(*locations(server), cpu_threads=2).load_index(NAME, KEY)
    assert again.is_trained()
    by_id = {i["id"]: i for i in kept}
    got = again.get(sorted(by_id) + [i["id"] for i in lost])
    assert [g["id"] for g in got] == sorted(by_id)
    for g in got:
        want = by_id[g["id"]]
        assert g["vector"] == want["vector"].tolist()
        assert g["contents"] == want["contents"].encode()
        assert g["metadata"] == want["metadata"]
    everything = again.query(lost[0]["vector"], top_k=1000, n_probes=N_LISTS)
    assert sorted(h["id"] for h in everything) == sorted(by_id)
    # The restarted server takes writes again.
    again.upsert(lost)
    assert len(again.query(lost[0]["vector"], top_k=1000, n_probes=N_LISTS)) == 130
    assert again.query(lost[3]["vector"], top_k=1, n_probes=N_LISTS)[0]["id"] == lost[3]["id"]
    # Closed while the server is up (the test's frame outlives the test).
    del again
    gc.collect()
    assert capfd.readouterr().err == ""


@pytest.fixture(params=["postgres", "redis", "sqlite"])
def stores(request):
    """A Client factory on fresh tables of the shared server of one kind, or
    of an SQLite file of the test's own."""
    tag = "py_%s" % os.urandom(4).hex()
    if request.param == "sqlite":
        conn = str(request.getfixturevalue("tmp_path") / "stores.sqlite")
    else:
        fixture = {"postgres": "postgres_conninfo", "redis": "redis_connection_string"}
        conn = request.getfixturevalue(fixture[request.param])
    locations = [tdb.DBConfig(request.param, tag + s, conn) for s in ("_index", "_config", "_items")]
    make = lambda: tdb.Client(*locations, cpu_threads=2)  # noqa: E731
    make.locations = locations
    return make


def test_contents_outlive_the_handle_without_an_items_location(stores):
    # Only the index and configuration locations: contents are stored with
    # the index, not in the memory of this process.
    def client():
        return tdb.Client(*stores.locations[:2], cpu_threads=2)
    idx = client().create_index("notes", KEY, tdb.IndexIVFFlat(3, 2))
    idx.upsert([{"id": "n1", "vector": [1.0, 2.0, 3.0], "contents": b"kept"}])
    del idx
    gc.collect()
    assert client().load_index("notes", KEY).get(["n1"], include=["contents"]) == [
        {"id": "n1", "contents": b"kept"}]


def test_name_model_and_stored_lists_outlive_the_handle(stores, fake_model, capfd):
    texts = stores().create_index("texts", KEY, tdb.IndexIVFFlat(3, 2, "cosine"),
                                  embedding_model="fake/bag-of-words")
    texts.upsert([{"id": "cat", "contents": "a cat on the mat"},
                  {"id": "sea", "contents": "waves on the sea"}])
    with pytest.raises(ValueError) as e:
        stores().create_index("texts", KEY, tdb.IndexIVFFlat(3, 2))
    assert str(e.value) == "Index name texts already exists"
    assert "texts" in stores().list_indexes()
    del texts
    gc.collect()

    # The model name is stored with the configuration: a loaded index embeds.
    loaded = stores().load_index("texts", KEY, max_cache_size=2)
    assert loaded.index_config()["dimension"] == fake_model.DIMENSION
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
        stores().load_index("texts", KEY)


# Upserts `batches` batches of `size` items into an SQLite index, printing
# each batch number once its upsert has returned.
WRITER = r"""
import sys
import time
import numpy as np
import tavrindb_lite as tdb
path, key, prefix, batches, size = sys.argv[1:]
idx = tdb.Client(*[tdb.DBConfig("sqlite", t, path) for t in ("k_index", "k_config")],
                 cpu_threads=1).load_index("shared", bytes.fromhex(key))
rng = np.random.default_rng(5)
for b in range(int(batches)):
    idx.upsert([{"id": "%s%d-%d" % (prefix, b, i), "contents": "batch %d item %d" % (b, i),
                 "vector": rng.standard_normal(idx.index_config()["dimension"]).astype(np.float32),
                 "metadata": {"batch": b}}
                for i in range(int(size))])
    print(b, flush=True)
"""


def sqlite_index(path):
    """A trained index in a new SQLite file, closed again; its locations."""
    locations = [tdb.DBConfig("sqlite", t, path) for t in ("k_index", "k_config")]
    idx = tdb.Client(*locations).create_index("shared", KEY, tdb.IndexIVFFlat(DIM, N_LISTS))
    idx.upsert(ledger(0, 40, seed=31))
    idx.train(max_iters=10)
    del idx
    gc.collect()
    return locations


def writer(path, prefix, batches, size):
    return subprocess.Popen([sys.executable, "-c", WRITER, path, KEY.hex(), prefix, str(batches),
                             str(size)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def everything(idx, expected):
    """All items a query over every list finds."""
    return {h["id"] for h in idx.query(np.zeros(DIM, np.float32), top_k=expected + 10,
                                       n_probes=N_LISTS)}


def test_two_processes_writing_one_sqlite_index_at_once_lose_nothing(tmp_path):
    path = str(tmp_path / "shared.sqlite")
    locations = sqlite_index(path)
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
    idx = tdb.Client(*locations).load_index("shared", KEY)
    ids = ["%s%d-%d" % (p, b, i) for p in "pq" for b in range(6) for i in range(500)]
    assert [g["id"] for g in idx.get(ids)] == ids
    assert everything(idx, 6040) == set(ids) | {i["id"] for i in ledger(0, 40, seed=31)}


@pytest.mark.parametrize("acks_before_kill", [1, 4])
def test_process_killed_mid_upsert_keeps_exactly_the_returned_sqlite_upserts(
        tmp_path, acks_before_kill):
    path = str(tmp_path / "killed.sqlite")
    locations = sqlite_index(path)
    batch = 3000
    proc = writer(path, "b", 100000, batch)
    try:
        acked = [int(proc.stdout.readline()) for _ in range(acks_before_kill)]
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
    loaded = tdb.Client(*locations).load_index("shared", KEY)
    nxt = len(acked)
    for b in acked + [nxt]:
        ids = ["b%d-%d" % (b, i) for i in range(batch)]
        got = loaded.get(ids, include=["contents", "metadata"])
        if b == nxt and not got:
            continue  # the upsert it was killed in: none of it
        # A batch that returned is there whole; so is one that committed
        # just before the kill without having printed.
        assert [g["id"] for g in got] == ids
        assert [g["contents"] for g in got] == [b"batch %d item %d" % (b, i) for i in range(batch)]
        assert all(g["metadata"] == {"batch": b} for g in got)
    assert loaded.get(["b%d-0" % (nxt + 1)]) == []
    # The lists agree with the records: every stored item is found.
    stored = 40 + batch * (len(acked) + (1 if loaded.get(["b%d-0" % nxt]) else 0))
    assert len(everything(loaded, stored)) == stored
    # And the file takes writes again.
    loaded.upsert(ledger(900, 5, seed=32))
    assert len(everything(loaded, stored)) == stored + 5


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
print("done", flush=True)
"""


def test_killed_training_compaction_or_retraining_loses_no_item(scratch_store, tmp_path):
    server, dim, n, lists = scratch_store, 32, 6000, 16
    name, key = "upkeep_%s" % os.urandom(3).hex(), os.urandom(32)
    idx = tdb.Client(*locations(server)).create_index(name, key, tdb.IndexIVFFlat(dim, lists))
    ids = ["u%d" % i for i in range(n)]
    idx.upsert(ids, random_vectors(n, dim, seed=3))
    idx.upsert(ids[:500], random_vectors(500, dim, seed=4))  # stale entries
    idx.close()
    rng = np.random.default_rng()
    job = {"locations": [(server.kind, TABLES + s, server.connection_string)
                         for s in ("_index", "_config", "_items")],
           "name": name, "key": key.hex(), "dim": dim, "n": n}
    for kill in range(3):
        job["seed"] = kill
        child = subprocess.Popen([sys.executable, "-c", UPKEEP, json.dumps(job)],
                                 stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "start\n"
            # Any moment is a moment the index must survive: before, inside
            # or after any of the operations.
            time.sleep(rng.uniform(0, 2.0))
        finally:
            child.kill()
            child.wait()
        again = tdb.Client(*locations(server)).load_index(name, key)
        assert sorted(r["id"] for r in again.get(ids, include=[])) == sorted(ids)
        found = [h["id"] for h in again.query(np.zeros(dim, np.float32), top_k=n + 10,
                                              n_probes=lists, include=[])]
        assert sorted(found) == sorted(ids)
        assert len(again) == n
        again.close()
