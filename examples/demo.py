"""A tour of tavrindb_lite on the in-process store: create an encrypted
index, add items, search it before and after training, filter by metadata,
fetch and delete items.

Run it with scripts/demo, which sets everything up first.
"""
import os

import numpy as np

import tavrindb_lite as tdb

TOPICS = ["sports", "music", "science", "travel"]


def show(title: str, hits: list) -> None:
    print(title)
    for h in hits:
        print("    %-8s distance %.3f  %s" % (h["id"], h["distance"], h["metadata"]))


def main() -> None:
    memory = tdb.DBConfig("memory")
    client = tdb.Client(memory, memory, memory, cpu_threads=2)
    config = tdb.IndexIVFFlat(dimension=16, n_lists=4, metric="cosine")
    index = client.create_index("articles", os.urandom(32), config)
    print("created index %r: %s" % (index.index_name(), index.index_config()))

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
    print("trained into %d lists: is_trained=%s" % (config.n_lists(), index.is_trained()))
    show("trained, 2 lists probed, only music since 2020:",
         index.query(query, top_k=3, n_probes=2,
                     filters={"$and": [{"topic": "music"}, {"year": {"$gte": 2020}}]}))

    print("get doc-005:", index.get(["doc-005"], include=["contents", "metadata"]))
    index.delete(["doc-005"])
    print("after delete: get doc-005 -> %s, nearest now %s"
          % (index.get(["doc-005"]), index.query(query, top_k=1, n_probes=2)[0]["id"]))


if __name__ == "__main__":
    main()
