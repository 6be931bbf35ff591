"""The markdown report, the targets summary and --publish."""

from __future__ import annotations

import json
import shutil

from .cases import FAMILIES
from .environment import CHECKOUT
from .kernels import SETS
from .timing import PEER_HEADINGS, format_time, shape_text

# A cap steers halvorn alone: a capped run's peers still run as on this CPU.
CAPPED_PEERS = "; NumPy and its BLAS pick their own kernels for this CPU, as in any run"


def kernels_text(meta):
    held = meta["kernels"]
    if held["set"] is None:
        return "not known (halvorn_testing is not built)"
    how = f"capped with --cap {held['cap']}" if held["cap"] else "the widest"
    return f"{held['set']}, {how} (this CPU runs {', '.join(held['cpu_runs'])})"


def target_cells(case):
    if not case.get("targets"):
        return "", ""
    text = "; ".join(f"≤ {t['bound']} × {PEER_HEADINGS[t['peer']]}" for t in case["targets"])
    met = "; ".join(met_cell(t) for t in case["targets"])
    return text, met


def met_cell(held):
    if held["met"]:
        return "yes"
    if held.get("at_limit"):
        return f"at the measured limit ({held['floor_ratio']:.2f} × {PEER_HEADINGS[held['peer']]})"
    return "**no**"


def load_text(meta):
    text = f"{meta['load_before']} at the start, {meta['load_after']} as it ended"
    if "load_settled" in meta:
        text += f", {meta['load_settled']} once its own load had decayed"
    return text


def family_table(cases, first_heading, peers, extra_columns=()):
    head = [first_heading, "type", "size", "halvorn"]
    for peer in peers:
        head += [PEER_HEADINGS[peer], f"× {PEER_HEADINGS[peer]}"]
    head += [heading for heading, _ in extra_columns] + ["target", "met", "check"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for case in cases:
        row = [case["op"], case["dtype"], shape_text(case["shape"]), format_time(case["sides"]["halvorn"]["median_ns"])]
        for peer in peers:
            if peer in case["sides"]:
                row += [format_time(case["sides"][peer]["median_ns"]), f"{case['ratios'][peer]:.2f}"]
            else:
                row += ["", ""]
        row += [cell(case) for _, cell in extra_columns]
        row += list(target_cells(case))
        row.append(case["check"] if case["check"] != "not checked" else "")
        lines.append("| " + " | ".join(row) + " |")
    return lines


def summary_rows(summary):
    rows = []
    for row in summary:
        worst = f"{row['worst_ratio']:.2f}" if "worst_ratio" in row else ""
        minima = f"{row['worst_ratio_of_minima']:.2f}" if "worst_ratio_of_minima" in row else ""
        met = f"{row['met']}/{row['cases']}" if row["cases"] else "no cases"
        if row.get("at_limit"):
            # Beyond the bound even for the work this design cannot avoid.
            met += (f"; {row['at_limit']} at the measured limit of this design, which alone takes "
                    f"≥ {row['limit_ratio']:.2f} ×")
        rows.append(f"| {row['target']} | {row['peer']} | ≤ {row['bound']} | {met} | {worst} | "
                    f"{row.get('worst_case', '')} | {minima} |")
    return rows


def family_section(family, run):
    if family.render is not None:
        return family.render(run)
    cases = [c for c in run.cases if c["family"] == family.name]
    if not cases:  # not run (--only), or not in this build
        return []
    rows = family_table(cases, family.first_heading, list(family.peers), family.columns)
    return ["", f"## {family.title}", "", family.text, "", *rows]


PLOT_LINE = "![time per element against n](bench.png)"
HOW_TO_EXTEND = (
    "The harness is the package `bench/` of the repository (`./dev bench --help`). Each section below is one "
    "family of cases, one module in `bench/cases/`: a new case is one more `run.case(...)` call there, a new "
    "family one more module named in `bench/cases/__init__.py`, a new target one entry in `bench/targets.py`."
)


def render_markdown(meta, run, summary):
    cases = run.cases
    title = "# halvorn benchmark" + (f": {meta['kernels']['set']} kernels" if meta["kernels"]["set"] else "")
    out = [
        title,
        "",
        f"Command: `{meta['command']}`  ",
        f"Date: {meta['date']}, revision {meta['revision']}  ",
        f"Machine: {meta['cpu']}, {meta['cores']} cores; load average {load_text(meta)}  ",
        f"Kernels: {kernels_text(meta)}{CAPPED_PEERS if meta['kernels']['cap'] else ''}  ",
        f"Python {meta['python']}, NumPy {meta['numpy']}, BLAS: {meta['blas_line']}  ",
    ]
    env = meta["environment"]
    if env["unset"]:
        out.append("Unset for this run, so that OpenBLAS picks its own kernel for this processor: "
                   + ", ".join(f"{k}={v}" for k, v in env["unset"].items()) + "  ")
    if env["kept"]:
        out.append("Kept as found (--keep-blas-env): " + ", ".join(f"{k}={v}" for k, v in env["kept"].items()) + "  ")
    out += [
        f"Wall time {meta['seconds']:.0f} s{' (--quick)' if meta['quick'] else ''}.",
        "",
        "Each case times halvorn and its peers in alternating rounds in one process (the order rotates each "
        "round); a timing repeats the call until it lasts at least "
        f"{meta['settings']['min_time_ns'] / 1e6:g} ms. Times are medians per call; a ratio is the median over "
        "rounds of halvorn's time divided by the peer's time in the same round, so below 1 means halvorn is faster. "
        "The ratio of minima (fastest halvorn timing over fastest peer timing) is shown beside it in the targets "
        "table: on a crowded machine it swings less, since the fastest timing is the least disturbed one.",
        "",
        HOW_TO_EXTEND,
        "",
        "## Targets",
        "",
        "| target | peer | bound | met | worst ratio | worst case | worst ratio of minima |",
        "|---|---|---|---|---|---|---|",
    ]
    out += summary_rows(summary)
    failed = [c["id"] for c in cases if c["check"].startswith("FAIL")]
    if failed:
        out += ["", "**Wrong results** (see the check column): " + ", ".join(failed)]
    for note in run.notes:
        out += ["", f"Note: {note}"]
    out += ["", PLOT_LINE]
    for family in FAMILIES.values():
        out += family_section(family, run)
    return "\n".join(out) + "\n"


SUMMARY_BEGIN = "<!-- bench:begin -->"
SUMMARY_END = "<!-- bench:end -->"
# What a set's part of the summary keeps of its run.
PUBLISHED_META = ("command", "date", "revision", "cpu", "cores", "load_before", "load_after", "load_settled",
                  "numpy", "blas_line", "kernels")


def set_file(kernel_set, suffix):
    return f"bench-{kernel_set}.{suffix}"


def publish(meta, summary, out_dir, checkout=CHECKOUT):
    """Publishes a run as its kernels' part of docs/: the set's table and
    plot (bench-SET.md, bench-SET.png), its targets summary (bench-SET.json),
    and the summary of every published set in docs/benchmarks.md, rebuilt from
    those. The other sets' files stay as they are."""
    kernel_set = meta["kernels"]["set"]
    docs = checkout / "docs"
    docs.mkdir(exist_ok=True)
    # The page sits beside the other sets' pages: its plot link names its own plot.
    own_plot = PLOT_LINE.replace("bench.png", set_file(kernel_set, "png"))
    (docs / set_file(kernel_set, "md")).write_text((out_dir / "bench.md").read_text().replace(PLOT_LINE, own_plot))
    plot = docs / set_file(kernel_set, "png")
    if (out_dir / "bench.png").exists():
        shutil.copyfile(out_dir / "bench.png", plot)
    else:  # another run's plot would pass for this one's
        plot.unlink(missing_ok=True)
    part = {"meta": {key: meta[key] for key in PUBLISHED_META if key in meta}, "targets": summary}
    (docs / set_file(kernel_set, "json")).write_text(json.dumps(part, indent=1) + "\n")
    published = {name: json.loads((docs / set_file(name, "json")).read_text())
                 for name in SETS if (docs / set_file(name, "json")).exists()}
    lines = [SUMMARY_BEGIN, *combined_summary(published, docs), SUMMARY_END]
    summary_page = docs / "benchmarks.md"
    text = summary_page.read_text() if summary_page.exists() else "# Benchmarks\n"
    if SUMMARY_BEGIN in text and SUMMARY_END in text:
        head, rest = text.split(SUMMARY_BEGIN, 1)
        tail = rest.split(SUMMARY_END, 1)[1]
        text = head + "\n".join(lines) + tail
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(lines) + "\n"
    summary_page.write_text(text)


def set_cell(row):
    """One set's result for a target: cases met, and its worst ratio."""
    if row is None:
        return "not in its run"
    if not row["cases"]:
        return "no cases"
    cell = f"{row['met']}/{row['cases']}"
    if row.get("at_limit"):
        cell += f", {row['at_limit']} at the measured limit (≥ {row['limit_ratio']:.2f} ×)"
    if "worst_ratio" in row:
        mean = row.get("worst_case", "").startswith("geometric mean")
        cell += f", {'geometric mean' if mean else 'worst'} {row['worst_ratio']:.2f}"
    return cell


def met_on(rows):
    """The sets on which every case of a target is met."""
    return [name for name, row in rows.items() if row is not None and row["cases"] and row["met"] == row["cases"]]


def combined_summary(published, docs):
    """The summary block of docs/benchmarks.md: a line per published set, and
    per target the sets it is met on. A target is met only when it is met on
    every published set."""
    lines = ["One run per instruction set of halvorn's kernels, each from a quiet machine; every case of a set "
             "is on its page.", ""]
    for name, part in published.items():
        meta = part["meta"]
        lines.append(f"- **{name}**: [{set_file(name, 'md')}]({set_file(name, 'md')}), made by "
                     f"`{meta['command']}` on {meta['date']} (revision {meta['revision']}, {meta['cpu']}, "
                     f"load average {load_text(meta)}); NumPy {meta['numpy']}, BLAS {meta['blas_line']}.")
    lines += ["", "Ratios are halvorn time / peer time measured in the same rounds; below 1 means halvorn is "
              "faster. A target is met only when it is met on every published set; each set's column gives its "
              "cases met and its worst ratio (the worst cases are on the set's page).", ""]
    targets = {}
    for name, part in published.items():
        for row in part["targets"]:
            targets.setdefault(row["target"], row)
    head = ["target", "peer", "bound", "met", "met on", *published]
    lines += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for label, first in targets.items():
        rows = {name: next((row for row in part["targets"] if row["target"] == label), None)
                for name, part in published.items()}
        sets = met_on(rows)
        met = "yes" if len(sets) == len(published) else "**no**"
        lines.append(f"| {label} | {first['peer']} | ≤ {first['bound']} | {met} | {', '.join(sets) or 'none'} | "
                     + " | ".join(set_cell(row) for row in rows.values()) + " |")
    for name in published:
        if (docs / set_file(name, "png")).exists():
            lines += ["", f"![{name}: time per element against n]({set_file(name, 'png')})"]
    return lines
