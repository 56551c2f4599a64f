"""A tour of tavrindb_lite on an SQLite file in the working directory:
create an encrypted index, add items, search it before and after training,
filter by metadata, fetch and delete items. A second run finds the index the
first one made in the file and loads it.

Run it with scripts/demo, which sets everything up first.
"""
import os
from typing import Tuple

import numpy as np

import tavrindb_lite as tdb

TOPICS = ["sports", "music", "science", "travel"]
DATABASE = "tavrin_demo.sqlite"
# The index key, kept beside the database for the next run. Without it,
# nothing in the database can be read.
KEY_FILE = "tavrin_demo.key"


def show(title: str, hits: list) -> None:
    print(title)
    for h in hits:
        print("    %-8s distance %.3f  %s" % (h["id"], h["distance"], h["metadata"]))


def open_index() -> Tuple[tdb.EncryptedIndex, bool]:
    """The index of an earlier run, or a new one; and whether it is new."""
    # Items and lists in one table, the index records in another, one file.
    client = tdb.Client(tdb.DBConfig("sqlite", "articles", DATABASE),
                        tdb.DBConfig("sqlite", "index_configs", DATABASE), cpu_threads=2)
    if "articles" in client.list_indexes():
        if not os.path.exists(KEY_FILE):
            raise SystemExit("%s holds an index but %s, its key, is gone: remove %s to start over"
                             % (DATABASE, KEY_FILE, DATABASE))
        with open(KEY_FILE, "rb") as f:
            index = client.load_index("articles", f.read())
        return index, False
    key = os.urandom(32)
    index = client.create_index("articles", key,
                                tdb.IndexIVFFlat(dimension=16, n_lists=4, metric="cosine"))
    fd = os.open(KEY_FILE, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(key)
    return index, True


def main() -> None:
    index, created = open_index()
    if not created:
        print("loaded index %r from %s, made by an earlier run: %s, is_trained=%s"
              % (index.index_name(), DATABASE, index.index_config(), index.is_trained()))
        query = np.asarray(index.get(["doc-021"], include=["vector"])[0]["vector"], np.float32)
        show("nearest to doc-021, 2 lists probed, only music since 2020:",
             index.query(query, top_k=3, n_probes=2,
                         filters={"$and": [{"topic": "music"}, {"year": {"$gte": 2020}}]}))
        print("get doc-005 (deleted by the first run): %s" % index.get(["doc-005"]))
        return
    print("created index %r in %s: %s" % (index.index_name(), DATABASE, index.index_config()))

    # 400 articles around four topic directions.
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((len(TOPICS), 16))
    items = []
    for i in range(400):
        topic = i % len(TOPICS)
        vector = centres[topic] + 0.4 * rng.standard_normal(16)
        items.append({"id": "doc-%03d" % i, "vector": vector.astype(np.float32),
                      "contents": "article %d about %s" % (i, TOPICS[topic]),
                      "metadata": {"topic": TOPICS[topic], "year": 2000 + i % 25}})
    index.upsert(items)
    print("upserted %d items (sealed with AES-256-GCM before they reach the store)" % len(items))

    query = items[5]["vector"]
    show("untrained, exhaustive search near doc-005:", index.query(query, top_k=3))

    index.train(max_iters=25)
    print("trained into %d lists: is_trained=%s"
          % (index.index_config()["n_lists"], index.is_trained()))
    show("trained, 2 lists probed, only music since 2020:",
         index.query(query, top_k=3, n_probes=2,
                     filters={"$and": [{"topic": "music"}, {"year": {"$gte": 2020}}]}))

    print("get doc-005:", index.get(["doc-005"], include=["contents", "metadata"]))
    index.delete(["doc-005"])
    print("after delete: get doc-005 -> %s, nearest now %s"
          % (index.get(["doc-005"]), index.query(query, top_k=1, n_probes=2)[0]["id"]))
    print("kept in %s (key in %s): run the demo again to load it" % (DATABASE, KEY_FILE))


if __name__ == "__main__":
    main()
