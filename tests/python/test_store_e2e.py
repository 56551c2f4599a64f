"""An index on stores of the test's own, across processes, kills and restarts."""
import gc
import json
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from contextlib import closing

import numpy as np
import pytest

import tavrindb_lite as tdb
from conftest import ScratchSqlite, random_vectors, refusal
from launch_servers import Resp

KEY = bytes(range(101, 133))
NAME = "quarterly_ledger"
DIM, N_LISTS = 8, 4
# A table name never contains the index name, so that any appearance of the
# name in a dump is the store's doing.
TABLES = "e2e"

# Every child process loads the index of its job (JSON in argv[1]) and says
# "start"; a refusal ends it with a traceback.
PRELUDE = r"""
import json, sys
import numpy as np
import tavrindb_lite as tdb
job = json.loads(sys.argv[1])
idx = tdb.Client(*[tdb.DBConfig(*l) for l in job["locations"]],
                 cpu_threads=2).load_index(job["name"], bytes.fromhex(job["key"]))
print("start", flush=True)
"""

# Writes what the index answers as JSON.
READER = r"""
print(json.dumps({"trained": idx.is_trained(), "config": idx.index_config(),
                  "hits": idx.query(np.array(job["queries"], np.float32), top_k=7, n_probes=2,
                                    filters=job["filters"]),
                  "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}))
"""


def spawn(code, job):
    return subprocess.Popen([sys.executable, "-c", PRELUDE + code, json.dumps(job)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


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


@pytest.mark.parametrize("server", ["postgres", "redis", "cluster", "sqlite"], indirect=True)
def test_round_trip_through_other_process_and_handles_without_plaintext_in_the_store(
        server, fake_model, capfd):
    # The cluster and SQLite runs store the index in the tamper-evident format.
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"),
                                      tamper_evident=server.cluster or server.kind == "sqlite")
    items = ledger(0, 270, seed=11)
    idx.upsert(items[:240])
    idx.train(max_iters=20)
    idx.upsert(items[240:])  # assigned to centroids
    queries = random_vectors(5, DIM, seed=13)
    job = {"queries": queries.tolist(), "name": NAME, "locations": places(server),
           "filters": {"$or": [{"desk_code": "bravo-desk"}, {"amount": {"$gte": 250}}]},
           "ids": ["ledger-entry-0003", "ledger-entry-0255", "no-such-entry"]}
    hits = idx.query(queries, top_k=7, n_probes=2, filters=job["filters"])
    assert [len(h) for h in hits] == [7] * 5
    expected = {"trained": True, "config": idx.index_config(), "hits": hits,
                "items": [dict(i, contents=i["contents"].hex()) for i in idx.get(job["ids"])]}
    assert [i["id"] for i in expected["items"]] == job["ids"][:2]

    def reader(key):  # a fresh interpreter, with the handle here still open
        done = subprocess.run([sys.executable, "-c", PRELUDE + READER, json.dumps(
            dict(job, key=key.hex()))], capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr.splitlines()[-1:]

    assert reader(KEY) == (0, "start\n%s\n" % json.dumps(expected), [])
    assert reader(bytes(range(102, 134))) == (
        1, "", ["ValueError: Failed to decrypt 1 ciphertexts"])
    idx.close()

    cells = server.dump()
    # The dump did see the index: a record and a contents value per item.
    assert sum(len(c) >= 28 for c in cells) >= 2 * len(items)
    name = NAME.encode()
    assert sorted(c for c in cells if name in c) == [name + b".cei", name + b".cvs"]
    # Every id, contents and metadata text holds one of these.
    needles = [b"ledger-entry", b"-desk", b"desk_code", b"amount", b"memo for entry",
               b"contents of entry", b"confidential"]
    assert [n for n in needles if any(n in c for c in cells)] == []
    # No 8-byte run of any vector's float32 bytes, at a value boundary.
    runs = {raw[k:k + 8] for raw in (i["vector"].tobytes() for i in items)
            for k in range(0, len(raw) - 7, 4)}
    assert not [c for c in cells if any(c[k:k + 8] in runs for k in range(len(c) - 7))]

    # A name, an embedding model and contents outlive the handle, also with
    # no items location: contents are stored with the index.
    stores = [tdb.DBConfig(*p) for p in places(server)[:2]]
    with tdb.Client(*stores).create_index("texts", KEY, tdb.IndexIVFFlat(3, 2, "cosine"),
                                          embedding_model="fake/bag-of-words") as texts:
        texts.upsert([{"id": "cat", "contents": "a cat on the mat"},
                      {"id": "sea", "contents": "waves on the sea"}])
    # Closed, the handle refuses every data member but answers from memory.
    for member in (lambda: texts.get(["cat"]), lambda: texts.query(query_contents="cat"),
                   lambda: len(texts), lambda: texts.upsert([{"id": "x", "vector": [1, 2, 3]}]),
                   texts.compact):
        assert refusal(member) == ("Not connected to any index. Please call `CreateIndex()` or "
                                   "`LoadIndex()` before calling this function.")
    assert (texts.index_name(), texts.index_config()["dimension"], texts.is_trained()) == (
        "texts", fake_model.DIMENSION, False)
    assert refusal(lambda: tdb.Client(*stores).create_index("texts", KEY, tdb.IndexIVFFlat(
        3, 2))) == "Index name texts already exists"
    assert sorted(tdb.Client(*stores).list_indexes()) == [NAME, "texts"]
    texts.close()  # a second close does nothing
    loaded = tdb.Client(*stores).load_index("texts", KEY, max_cache_size=2)
    assert (loaded.index_config()["dimension"], loaded.get(["cat"], include=["contents"])) == (
        fake_model.DIMENSION, [{"id": "cat", "contents": b"a cat on the mat"}])
    capfd.readouterr()
    # Upserting into a stored list that is not cached, then reading it, each
    # report the list once; a second read is a silent cache hit.
    loaded.upsert([{"id": "dog", "contents": "a dog in the sea"}])
    assert capfd.readouterr().out == "Token not found: 0\n"
    first = loaded.query(query_contents="the cat sat", top_k=3)
    assert (first[0]["id"], len(first), capfd.readouterr().out) == (
        "cat", 3, "Token not found: 0\n")
    assert loaded.query(query_contents="the cat sat", top_k=3) == first
    assert capfd.readouterr().out == ""
    loaded.delete_index()
    refusal(lambda: tdb.Client(*stores).load_index("texts", KEY))


@pytest.mark.parametrize("server", ["postgres", "redis"], indirect=True)
def test_killed_server_fails_operations_then_serves_every_returned_upsert(server, capfd):
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    kept, lost = ledger(0, 120, seed=21), ledger(500, 10, seed=22)
    idx.upsert(kept)
    idx.train(max_iters=20)

    server.kill()
    capfd.readouterr()
    # Each failure names the store operation and the server's reason.
    broken = {"postgres": r"(Batch get failed|Postgres \w+ error|Batch delete failed): (server "
                          r"closed the connection unexpectedly|no connection to the server)",
              "redis": r"\b(HGET|HMGET|HDEL|SET) command failed: Server closed the connection"}
    with pytest.raises(ValueError, match=broken[server.kind]) as e:
        idx.upsert(lost)
    assert "Error ingesting: %s\n" % e.value in capfd.readouterr().err
    for op in (lambda: idx.query(lost[0]["vector"], n_probes=N_LISTS),
               lambda: idx.get(["ledger-entry-0001"]), lambda: idx.delete(["ledger-entry-0001"])):
        assert re.search(broken[server.kind], refusal(op))
    assert refusal(lambda: client(server).load_index(NAME, KEY)).startswith(
        {"postgres": "Postgres connection error: ",
         "redis": "Failed to connect to Redis"}[server.kind])
    # Dropping the broken handle neither raises nor hangs: every count it
    # holds was stored before the failures, so it writes nothing back.
    capfd.readouterr()
    del idx
    gc.collect()
    assert capfd.readouterr().err == ""

    server.start()
    again = client(server).load_index(NAME, KEY)
    assert again.get([i["id"] for i in kept + lost]) == [
        dict(i, vector=i["vector"].tolist(), contents=i["contents"].encode()) for i in kept]
    assert (again.is_trained(), everything(again)) == (True, [i["id"] for i in kept])
    # The restarted server takes writes again.
    again.upsert(lost)
    assert len(everything(again)) == 130
    again.close()  # while the server is up
    assert capfd.readouterr().err == ""


class AnswerLoop:
    """Calls answer() in a thread until the block ends, recording every error
    and every answer other than `expected`; after(n) waits until n more rounds
    have run (bounded, so that a fault fails instead of hanging)."""

    def __init__(self, answer, expected):
        self.answer, self.expected = answer, expected
        self.done, self.errors = 0, []
        self.stop, self.turn = threading.Event(), threading.Condition()
        self.thread = threading.Thread(target=self._run)

    def _run(self):
        while not self.stop.is_set():
            try:
                if self.answer() != self.expected:
                    self.errors.append("a wrong answer")
            except ValueError as e:
                self.errors.append(str(e))
            with self.turn:
                self.done += 1
                self.turn.notify_all()

    def after(self, n, timeout=60):
        with self.turn:
            now = self.done
            assert self.turn.wait_for(lambda: self.done >= now + n, timeout=timeout)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(120)


@pytest.mark.parametrize("server", ["cluster"], indirect=True)
def test_cluster_master_killed_mid_query_loop_fails_over_and_loses_no_item(server):
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"))
    items = ledger(0, 300, seed=31)
    idx.upsert(items[:200])
    idx.train(max_iters=20)
    idx.upsert(items[200:])  # the last write before the kill: a replica has it
    queries = random_vectors(4, DIM, seed=32)
    expected = idx.query(queries, top_k=5, n_probes=N_LISTS)

    def role(port):
        with closing(Resp(port)) as r:
            return r.call("ROLE")

    # Not the seed: a new connection needs it.
    victim = next(p for p in server.ports[1:] if role(p)[0] == b"master")
    heir = next(p for p in server.ports if role(p)[0] == b"slave" and role(p)[2] == victim)
    with AnswerLoop(lambda: idx.query(queries, top_k=5, n_probes=N_LISTS), expected) as loop:
        loop.after(2)
        server.kill(server.ports.index(victim))
        deadline = time.monotonic() + 60
        while role(heir)[0] != b"master":  # the cluster's own failover
            assert time.monotonic() < deadline, "no failover"
            time.sleep(0.05)
        loop.after(3, timeout=30)
    assert loop.errors == []
    assert idx.get([i["id"] for i in items]) == [
        dict(i, vector=i["vector"].tolist(), contents=i["contents"].encode()) for i in items]
    idx.upsert(ledger(300, 5, seed=33))  # the promoted master has no replica left to wait for
    assert len(everything(idx)) == 305
    idx.delete_index()


@pytest.mark.parametrize("server", ["cluster"], indirect=True)
def test_cluster_slot_resharded_while_queries_run(server):
    """A slot holding the index's values moves to another master, key by key
    (ASK while it migrates, MOVED after), while a loop queries and gets: no
    error and no wrong answer. The index is tamper-evident, so a value read
    from the wrong place could not pass either."""
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS, "euclidean"),
                                      tamper_evident=True)
    items = ledger(0, 300, seed=41)
    idx.upsert(items)
    idx.train(max_iters=20)
    ids = [i["id"] for i in items]
    queries = random_vectors(4, DIM, seed=42)
    expected = (idx.query(queries, top_k=5, n_probes=N_LISTS), idx.get(ids))

    def call(port, *args):
        with closing(Resp(port)) as r:
            return r.call(*args)

    masters = [p for p in server.ports if call(p, "ROLE")[0] == b"master"]
    source, target = masters[0], masters[1]
    with closing(Resp(source)) as r:  # a slot of the source's that holds values
        slot = next(s for start, end, (_, port, *_), *_ in r.call("CLUSTER", "SLOTS")
                    if port == source for s in range(start, end + 1)
                    if r.call("CLUSTER", "COUNTKEYSINSLOT", s) > 0)
    answer = lambda: (idx.query(queries, top_k=5, n_probes=N_LISTS), idx.get(ids))  # noqa: E731
    with AnswerLoop(answer, expected) as loop:  # two rounds through each step taken
        ids_of = {p: call(p, "CLUSTER", "MYID") for p in masters}
        call(target, "CLUSTER", "SETSLOT", slot, "IMPORTING", ids_of[source])
        call(source, "CLUSTER", "SETSLOT", slot, "MIGRATING", ids_of[target])
        loop.after(2)
        for key in call(source, "CLUSTER", "GETKEYSINSLOT", slot, 1000):
            assert call(source, "MIGRATE", "127.0.0.1", target, "", 0, 10000, "KEYS", key) == b"OK"
            loop.after(2)
        for p in masters:
            call(p, "CLUSTER", "SETSLOT", slot, "NODE", ids_of[target])
        loop.after(2)
    assert loop.errors == []
    idx.delete_index()


# Upserts `batches` batches of `size` items, printing each batch number once
# its upsert has returned.
WRITER = r"""
rng = np.random.default_rng(5)
for b in range(job["batches"]):
    idx.upsert([{"id": "%s%d-%d" % (job["prefix"], b, i), "contents": "batch %d item %d" % (b, i),
                 "vector": rng.standard_normal(8).astype(np.float32), "metadata": {"batch": b}}
                for i in range(job["size"])])
    print(b, flush=True)
"""


def everything(idx, dim=DIM, lists=N_LISTS):
    """The sorted ids a query over every list finds."""
    return sorted(h["id"] for h in idx.query(np.zeros(dim, np.float32), top_k=10**6,
                                             n_probes=lists, include=[]))


def test_sqlite_writers_at_once_and_one_killed_mid_upsert_keep_exactly_the_returned_upserts(
        tmp_path):
    store = ScratchSqlite(tmp_path)
    idx = client(store).create_index(NAME, KEY, tdb.IndexIVFFlat(DIM, N_LISTS))
    idx.upsert(ledger(0, 40, seed=31))
    idx.train(max_iters=10)
    idx.close()
    path, batch = store.connection_string, 3000
    job = {"locations": places(store), "name": NAME, "key": KEY.hex()}
    # "q" writes all its batches beside "b", which is killed inside an upsert.
    with spawn(WRITER, dict(job, prefix="b", batches=100000, size=batch)) as proc, \
            spawn(WRITER, dict(job, prefix="q", batches=6, size=500)) as beside:
        try:
            acked = [int(line) for line in [proc.stdout.readline() for _ in range(3)][1:]]
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
            out, err = beside.communicate(timeout=300)
        finally:
            proc.kill()
            beside.kill()
    assert (beside.returncode, out.split()) == (0, ["start"] + [str(b) for b in range(6)]), err
    assert proc.returncode == -signal.SIGKILL
    assert acked == list(range(len(acked)))

    with closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    loaded = client(store).load_index(NAME, KEY)
    # A batch that returned is there whole; so is one that committed just
    # before the kill without having printed; the next one not at all.
    whole = len(acked) + len(loaded.get(["b%d-0" % len(acked)], include=[]))

    def item(p, b, i):
        return {"id": "%s%d-%d" % (p, b, i), "contents": b"batch %d item %d" % (b, i),
                "metadata": {"batch": b}}

    want = [item("q", b, i) for b in range(6) for i in range(500)] + [
        item("b", b, i) for b in range(whole) for i in range(batch)]
    assert loaded.get([w["id"] for w in want] + ["b%d-%d" % (whole, i) for i in range(batch)],
                      include=["contents", "metadata"]) == want
    # The lists agree with the records: every stored item is found.
    stored = 40 + len(want)
    assert len(everything(loaded)) == stored
    # And the file takes writes again.
    loaded.upsert(ledger(900, 5, seed=32))
    assert len(everything(loaded)) == stored + 5


# Trains, overwrites, compacts and retrains; killed at a random moment.
UPKEEP = r"""
if not idx.is_trained():
    idx.train(max_iters=10)
rng = np.random.default_rng(job["seed"])
ids = ["u%d" % i for i in rng.choice(job["n"], 300, replace=False)]
idx.upsert(ids, rng.standard_normal((300, job["dim"])).astype(np.float32))
idx.compact()
idx.retrain(max_iters=10)
"""


def test_killed_training_compaction_or_retraining_loses_no_item(server):
    """The write-step sweep fails writes; this kills a real process anywhere in them."""
    dim, n, lists = 32, 6000, 16
    idx = client(server).create_index(NAME, KEY, tdb.IndexIVFFlat(dim, lists))
    ids = sorted("u%d" % i for i in range(n))
    idx.upsert(ids, random_vectors(n, dim, seed=3))
    idx.upsert(ids[:500], random_vectors(500, dim, seed=4))  # stale entries
    idx.close()
    rng = np.random.default_rng()
    job = {"locations": places(server), "name": NAME, "key": KEY.hex(), "dim": dim, "n": n}
    for kill in range(3):
        job["seed"] = kill
        with spawn(UPKEEP, job) as child:
            try:
                assert child.stdout.readline() == "start\n", child.stderr.read()
                # Any moment is one the index must survive, whenever the kill lands.
                time.sleep(rng.uniform(0, 2.0))
            finally:
                child.kill()
        again = client(server).load_index(NAME, KEY)
        got = [r["id"] for r in again.get(ids, include=[])]
        assert (got, everything(again, dim, lists), len(again)) == (ids, ids, n)
        again.close()
