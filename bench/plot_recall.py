"""Recall@10 against batch throughput over n_probes = 1, 2, 4, ... n_lists, for
tavrindb_lite cold (max_cache_size 0) and cached (every list cached) and for
faiss IVF-Flat, one panel per data set, from the JSON that
`compare_faiss.py --sweep` writes. Without such a file it runs the harness
with --sweep first (pass --quick for the small sizes).

  .venv/bin/python bench/plot_recall.py [--quick] [--json FILE] [--out FILE.png]
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def has_sweep(report):
    return any("sweep" in d.get("faiss", {}) and "sweep_cold" in d.get("tavrin", {})
               for d in report.get("datasets", {}).values())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--json", default=os.path.join(ROOT, "build", "bench", "recall_sweep.json"))
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "bench", "recall_throughput.png"))
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--datasets", default="synthetic,text")
    args = ap.parse_args()

    report = None
    if os.path.exists(args.json):
        with open(args.json) as f:
            report = json.load(f)
    if report is None or not has_sweep(report):
        cmd = [sys.executable, os.path.join(HERE, "compare_faiss.py"), "--sweep",
               "--datasets", args.datasets, "--json", args.json]
        if args.quick:
            cmd.append("--quick")
        subprocess.run(cmd, check=True)
        with open(args.json) as f:
            report = json.load(f)

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sets = [(name, d) for name, d in report["datasets"].items()
            if "sweep" in d.get("faiss", {}) and "sweep_cold" in d.get("tavrin", {})]
    fig, axes = plt.subplots(1, len(sets), figsize=(6.2 * len(sets), 4.6), squeeze=False)
    for ax, (name, d) in zip(axes[0], sets):
        curves = [("tavrindb_lite cold", d["tavrin"]["sweep_cold"], "o-"),
                  ("tavrindb_lite cached", d["tavrin"]["sweep_cached"], "s-"),
                  ("faiss IVF-Flat", d["faiss"]["sweep"], "^-")]
        for label, rows, style in curves:
            ax.plot([r["recall"] for r in rows], [r["queries_per_s"] for r in rows], style,
                    label=label)
            for r in rows:
                ax.annotate(str(r["n_probes"]), (r["recall"], r["queries_per_s"]),
                            textcoords="offset points", xytext=(3, 3), fontsize=7)
        p = d["params"]
        ax.set_title(f"{name}: {d['items']:,} x {d['dim']}, {p['lists']} lists, "
                     f"{report['threads']} threads", fontsize=10)
        ax.set_xlabel("recall@10 (labels: n_probes)")
        ax.set_ylabel(f"queries/s, batch of {p.get('nq', '')} queries")
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    fig.savefig(args.out, dpi=110)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
