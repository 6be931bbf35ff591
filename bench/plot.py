"""The plot: time per element against n."""

from __future__ import annotations


def render_plot(run, path):
    """Time per element against n, log-log: add float64 (with the 48n-byte
    limit) and full float64 (with the 16n-byte write limit)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        run.notes.append("matplotlib is not installed: no plot")
        return False
    panels = [("elementwise", "add", "add float64: halvorn vs np.add", ["numpy", "numpy_out", "limit"]),
              ("factory", "full", "full float64: halvorn vs np.full", ["numpy", "limit"])]
    labels = {"halvorn": "halvorn", "numpy": "NumPy (allocating)", "numpy_out": "NumPy out=",
              "limit": "memory-traffic limit"}
    figure, axes = plt.subplots(1, len(panels), figsize=(11, 4.2))
    for axis, (family, op, title, peers) in zip(axes, panels):
        cases = sorted((c for c in run.cases if c["family"] == family and c["op"] == op
                        and c["dtype"] == "float64" and len(c["shape"]) == 1), key=lambda c: c["n"])
        for name in ["halvorn", *peers]:
            points = [(c["n"], c["sides"][name]["median_ns"] / c["n"]) for c in cases if name in c["sides"]]
            if points:
                label = labels[name]
                if family == "factory" and name == "numpy":
                    label = "NumPy np.full"
                if family == "factory" and name == "limit":
                    label = "write limit (z.fill, 16n bytes)"
                axis.plot(*zip(*points), marker="o", label=label, linestyle="--" if name == "limit" else "-")
        axis.set_xscale("log", base=2)
        sizes = [c["n"] for c in cases]
        axis.set_xticks(sizes, [size_label(n) for n in sizes])
        axis.minorticks_off()
        axis.set_yscale("log")
        axis.set_xlabel("n (elements)")
        axis.set_ylabel("ns per element (median)")
        axis.set_title(title)
        axis.grid(True, which="both", alpha=0.3)
        if cases:  # a run limited to other families leaves this panel empty
            axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def size_label(n):
    for unit, scale in (("Mi", 1 << 20), ("Ki", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    return str(n)
