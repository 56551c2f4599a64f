"""Recall@10 of the index's training against faiss, seed by seed.

Recall of an IVF-Flat index depends only on its centroids (the lists are
searched exactly), so this trains centroids with the index's own recipe
(tavrindb_lite._train_centroids, fixed seeds), puts them into a faiss
IndexIVFFlat as its quantizer, and compares with faiss training its own on
the same data. Prints, per data set, each seed's recall: the index's worst
seed must stay within 0.01 of faiss's median seed, every time, not on average.
The text set is compare_faiss.py's (made once, kept in build/bench), with as
many lists as there; it is skipped with a note when no interpreter has the
embedding model.

    python bench/recall_seeds.py [--seeds 5] [--datasets synthetic,lists,skewed,text]
                                 [--model-python PATH]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_faiss import ROOT, exact_top, recall, synthetic, text_data  # noqa: E402

import faiss  # noqa: E402
import tavrindb_lite as tdb  # noqa: E402

N, NQ, D, LISTS, PROBES = 100_000, 1_000, 128, 256, 8


def skewed(n, nq, d, seed=99):
    # Cluster sizes spread over two orders of magnitude and noise that differs
    # from cluster to cluster: lists of very different sizes and widths.
    rng = np.random.default_rng(seed)
    centres = 400
    c = rng.standard_normal((centres, d)).astype(np.float32)
    weight = 1.0 / np.arange(1, centres + 1)
    pick = rng.choice(centres, size=n + nq, p=weight / weight.sum())
    noise = rng.uniform(0.5, 2.0, size=centres).astype(np.float32)
    x = c[pick] + noise[pick, None] * rng.standard_normal((n + nq, d)).astype(np.float32)
    x = x.astype(np.float32)
    return x[:n].copy(), x[n:].copy()


def text(model_python):
    data, note = text_data("full", model_python, os.path.join(ROOT, "build", "bench"), NQ)
    if data is None:
        return None, note
    return data, max(8, min(LISTS, int(np.sqrt(len(data[0])))))


# Each gives ((xb, xq), lists), or (None, why it was skipped).
DATASETS = {
    "synthetic": lambda _: (synthetic(N, NQ, D), LISTS),
    "lists": lambda _: (synthetic(N, NQ, D, centres=LISTS, noise=1.0, seed=4321, scale=0.5),
                        LISTS),
    "skewed": lambda _: (skewed(N, NQ, D), LISTS),
    "text": text,
}


def ivf_recall(centroids, xb, xq, gt):
    quantizer = faiss.IndexFlatL2(xb.shape[1])
    quantizer.add(np.ascontiguousarray(centroids, dtype=np.float32))
    index = faiss.IndexIVFFlat(quantizer, xb.shape[1], len(centroids))
    index.add(xb)
    index.nprobe = PROBES
    return recall(index.search(xq, 10)[1], gt)


def faiss_recall(xb, xq, gt, seed, lists):
    quantizer = faiss.IndexFlatL2(xb.shape[1])
    index = faiss.IndexIVFFlat(quantizer, xb.shape[1], lists)
    index.cp.seed = seed
    index.train(xb)
    index.add(xb)
    index.nprobe = PROBES
    return recall(index.search(xq, 10)[1], gt)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, default=5)
    ap.add_argument("--datasets", default=",".join(DATASETS))
    ap.add_argument("--max-iters", type=int, default=100)
    ap.add_argument("--model-python", help="interpreter with sentence_transformers")
    args = ap.parse_args()
    seeds = range(1, args.seeds + 1)
    worst = []
    for name in args.datasets.split(","):
        data, lists = DATASETS[name](args.model_python)
        if data is None:
            print(f"{name:10s} skipped: {lists}", flush=True)
            continue
        xb, xq = data
        config = tdb.IndexIVFFlat(xb.shape[1], lists, "euclidean")
        gt = exact_top(xb, xq)
        ours = [ivf_recall(tdb._train_centroids(config, xb, max_iters=args.max_iters, seed=s),
                           xb, xq, gt) for s in seeds]
        theirs = [faiss_recall(xb, xq, gt, s, lists) for s in seeds]
        gap = min(ours) - float(np.median(theirs))
        worst.append(gap)
        print(f"{name:10s} index  {' '.join(f'{r:.3f}' for r in ours)}  min {min(ours):.3f}")
        print(f"{'':10s} faiss  {' '.join(f'{r:.3f}' for r in theirs)}  median {np.median(theirs):.3f}"
              f"  index min - faiss median {gap:+.3f} ({'holds' if gap >= -0.01 else 'MISSED'})",
              flush=True)
    return 0 if min(worst) >= -0.01 else 1


if __name__ == "__main__":
    sys.exit(main())
