"""Turns the JSON of compare.py into a Markdown report with plots.

    python3 -m bench.report FILE --out DIR

Writes DIR/report.md and, where matplotlib imports, one PNG per algorithm
(time against stored edges, log-log, one line per system and graph family)
and a speed-up chart. Without matplotlib the report is still written and says
that the plots are missing. On the software GPU every vorlan_cuda figure is
labelled as an interpreter timing and no speed-up is claimed. A run that was
stopped before its end (compare.py marks its JSON incomplete until then) is
drawn as far as it got, and the report says it was cut short.

A missing, unreadable or malformed FILE, or an --out that cannot be made, is
refused in one line with exit status 2.
"""

import os
import sys

from bench import cli
from bench.analysis import SOFTWARE_LABEL, add_ratios, growth, outcome_text


def seconds_text(seconds):
    if seconds is None:
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.0f} µs"


def number_text(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def agreement_text(entry):
    verdict = {True: "agrees", False: "**DISAGREES**", None: ""}[entry.get("agrees")]
    note = entry.get("agreement")
    if not note or note == "reference":
        return verdict
    return f"{verdict} ({note})" if verdict else note


def rate_text(edges_per_second):
    return "-" if not edges_per_second else f"{edges_per_second / 1e6:.1f} M"


class Report:
    def __init__(self, data):
        self.data = data
        self.meta = data["meta"]
        self.software = bool(self.meta.get("software_gpu"))
        self.graphs = {g["id"]: g for g in data["graphs"]}
        if not self.meta.get("complete", True):
            # compare.py works its summaries out at the end of a run; one cut
            # short saved its results alone.
            add_ratios(data["results"], self.software)
            data["growth"] = growth(data["results"], data["graphs"])

    def system_text(self, system):
        if system == "vorlan_cuda" and self.software:
            return f"vorlan_cuda ({SOFTWARE_LABEL})"
        return system

    def header(self):
        meta = self.meta
        host = meta.get("host", {})
        lines = [
            "# vorlan_cuda against CPU peers",
            "",
            f"- Date: {meta.get('date')}",
            f"- Device: {meta.get('device') or 'none (vorlan_cuda not run)'}",
            f"- Host: {host.get('cpus')} CPUs, {host.get('machine')}, Python {host.get('python')}, "
            f"{host.get('platform')}; thread settings: {host.get('thread_settings') or 'defaults'}",
            f"- Systems: {', '.join(meta.get('systems', []))}",
        ]
        for name, why in meta.get("missing_systems", {}).items():
            lines.append(f"  - {name}: {why}")
        lines += [
            f"- Time per call: best of up to {meta.get('repeat')} calls; a peer call over "
            f"{meta.get('budget_seconds')} s is stopped, and skipped at larger sizes",
            f"- PageRank: damping {meta['pagerank']['damping']}, up to {meta['pagerank']['max_iterations']} "
            f"iterations, L1 change below {meta['pagerank']['tolerance']}; k-truss k = {meta.get('k')}",
            f"- Disagreements: {self.data['disagreements']}",
        ]
        if not meta.get("complete", True):
            lines.append(
                "- **The run was cut short**: the figures below are those measured before it stopped."
            )
        lines += [f"- Not run: {why}" for why in meta.get("graphs_not_run", [])]
        if self.software:
            lines += [
                "",
                f"**Every vorlan_cuda figure below is from the {SOFTWARE_LABEL}.** It says whether the "
                "module works and how its work grows, not how fast a GPU runs it; no speed-up is "
                "claimed from it.",
            ]
        rates = meta.get("bandwidth")
        if rates and rates.get("source"):
            lines.append(
                f"- Bandwidth ({rates['source']}): device copy {rates['device_copy'] / 1e9:.0f} GB/s, "
                f"host to device {rates['host_to_device'] / 1e9:.1f} GB/s, "
                f"device to host {rates['device_to_host'] / 1e9:.1f} GB/s"
            )
        elif rates:
            lines.append(f"- Bandwidth floors: none ({rates.get('why')})")
        elif self.software:
            lines.append("- Bandwidth floors: none on the software GPU")
        if meta.get("cost_model"):
            lines.append(
                f"- Cost-model floor: the lower bound on an H100 SXM that {meta['cost_model']} predicts "
                "from the software GPU's counts of each kernel's memory sectors, warp instructions and "
                'busiest warp (bench/cost_model.py); "counted" on a graph the model ran, '
                '"extrapolated" by its growth exponent elsewhere'
            )
        return lines

    def graph_table(self):
        lines = [
            "## Graphs",
            "",
            "| graph | family | nodes | stored edges | max degree | nodes without edges | "
            "BFS source |",
            "|---|---|---:|---:|---:|---:|---:|",
        ]
        for g in self.data["graphs"]:
            lines.append(
                f"| {g['label']} | {g['family']} | {g['num_nodes']:,} | {g['num_edges']:,} | "
                f"{g['max_degree']:,} | {g['dangling_nodes']:,} | {g['source']} |"
            )
        return lines

    def algorithm_table(self, algorithm):
        has_floor = any("floor" in e for e in self.data["results"] if e["algorithm"] == algorithm)
        has_model = any(
            "predicted_floor_seconds" in e
            for e in self.data["results"]
            if e["algorithm"] == algorithm
        )
        columns = ["graph", "system", "time", "edges/s", "× fastest other", "agreement"]
        columns += ["floor", "× floor"] if has_floor else []
        columns += ["cost-model floor"] if has_model else []
        lines = [
            f"### {algorithm}",
            "",
            "| " + " | ".join(columns) + " |",
            "|" + "|".join(["---"] * len(columns)) + "|",
        ]
        for e in self.data["results"]:
            if e["algorithm"] != algorithm or e["status"] == "not offered":
                continue
            label = self.graphs[e["graph"]]["label"]
            if e["status"] != "ok":
                row = [label, self.system_text(e["system"]), outcome_text(e), "", "", ""]
            else:
                ratio = (
                    None
                    if (self.software and "vorlan_cuda" in e["system"])
                    else e.get("ratio_to_fastest_peer")
                )
                row = [
                    label,
                    self.system_text(e["system"]),
                    seconds_text(e["seconds"]),
                    rate_text(e.get("edges_per_second")),
                    number_text(ratio),
                    agreement_text(e),
                ]
            if has_floor:
                floor = e.get("floor", {})
                row += [
                    f"{seconds_text(floor.get('floor_seconds'))} per {floor['what']}"
                    if floor
                    else "",
                    number_text(floor.get("ratio"), 1) if floor else "",
                ]
            if has_model:
                row.append(
                    f"{seconds_text(e['predicted_floor_seconds'])} ({e['predicted_floor_basis']})"
                    if "predicted_floor_seconds" in e
                    else ""
                )
            lines.append("| " + " | ".join(row) + " |")
        return lines

    def growth_table(self):
        lines = [
            "## Cost growth",
            "",
            "Exponent p of a least-squares fit of log(time) against log(stored edges): time grows like "
            "edges^p (families run at two sizes or more).",
            "",
            "| family | algorithm | system | sizes | p |",
            "|---|---|---|---:|---:|",
        ]
        rows = sorted(
            (r for r in self.data["growth"] if r["sizes"] >= 2),
            key=lambda r: (r["family"], r["algorithm"], r["system"]),
        )
        for row in rows:
            lines.append(
                f"| {row['family']} | {row['algorithm']} | {self.system_text(row['system'])} | "
                f"{row['sizes']} | {number_text(row['exponent'])} |"
            )
        return lines

    def speedup_note(self):
        if self.software:
            return ["## Speed-up", "", "None claimed: vorlan_cuda ran on the software GPU."]
        return [
            "## Speed-up",
            "",
            "vorlan_cuda's time over the fastest peer's, per graph (below 1: vorlan_cuda "
            "is faster); see speedup.png.",
        ]

    def markdown(self, plots, plot_note):
        lines = self.header() + [""] + self.graph_table() + ["", "## Results", ""]
        for algorithm in self.meta["algorithms"]:
            lines += self.algorithm_table(algorithm) + [""]
        lines += self.growth_table() + [""] + self.speedup_note() + ["", "## Plots", ""]
        lines += [f"![{name}]({name})" for name in plots] or [plot_note]
        return "\n".join(lines) + "\n"


def plot(report, out_dir):
    """The PNGs written (file names), or an empty list and why there are none."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        return [], f"No plots: matplotlib is not importable here ({error})."
    written = []
    # One colour per system, one line style per graph family.
    systems = sorted({row["system"] for row in report.data["growth"]})
    families = sorted({row["family"] for row in report.data["growth"]})
    styles = ["-", "--", ":", "-."]
    for algorithm in report.meta["algorithms"]:
        figure, axes = plt.subplots(figsize=(7, 5))
        drawn = False
        for row in report.data["growth"]:
            if row["algorithm"] != algorithm or not row["points"]:
                continue
            edges, seconds = zip(*row["points"])
            name = (
                "vorlan_cuda (software GPU)"
                if row["system"] == "vorlan_cuda" and report.software
                else row["system"]
            )
            axes.loglog(
                edges,
                seconds,
                marker="o",
                color=f"C{systems.index(row['system'])}",
                linestyle=styles[families.index(row["family"]) % len(styles)],
                label=f"{name}, {row['family']}",
            )
            drawn = True
        if not drawn:
            plt.close(figure)
            continue
        axes.set_xlabel("stored edges")
        axes.set_ylabel("seconds per call")
        axes.set_title(algorithm + (f"\nvorlan_cuda: {SOFTWARE_LABEL}" if report.software else ""))
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize=7)
        name = f"{algorithm}.png"
        figure.savefig(os.path.join(out_dir, name), dpi=110, bbox_inches="tight")
        plt.close(figure)
        written.append(name)
    speedup = speedup_chart(report, plt, out_dir)
    return written + ([speedup] if speedup else []), ""


def speedup_chart(report, plt, out_dir):
    """Bars of fastest peer time / vorlan_cuda time per graph and algorithm;
    none on the software GPU, where that ratio means nothing."""
    if report.software:
        return None
    bars = [
        (f"{report.graphs[e['graph']]['label']}\n{e['algorithm']}", 1 / e["ratio_to_fastest_peer"])
        for e in report.data["results"]
        if e["system"] == "vorlan_cuda" and e["status"] == "ok" and e.get("ratio_to_fastest_peer")
    ]
    if not bars:
        return None
    figure, axes = plt.subplots(figsize=(max(6, len(bars) * 0.5), 5))
    labels, values = zip(*bars)
    axes.bar(range(len(values)), values)
    axes.set_yscale("log")
    axes.axhline(1, color="black", linewidth=0.8)
    axes.set_xticks(range(len(values)), labels, rotation=90, fontsize=6)
    axes.set_ylabel("fastest peer time / vorlan_cuda time")
    axes.set_title(f"Speed-up of vorlan_cuda on {report.meta.get('device')}")
    figure.savefig(os.path.join(out_dir, "speedup.png"), dpi=110, bbox_inches="tight")
    plt.close(figure)
    return "speedup.png"


# What a compare.py JSON holds at the least, even when its run was cut short.
REQUIRED = {"meta": dict, "graphs": list, "results": list, "growth": list, "disagreements": int}
REQUIRED_META = ("algorithms", "pagerank")


def read_comparison(path):
    data = cli.read_json(path, "FILE")
    if not isinstance(data, dict):
        raise cli.ToolError(f"FILE {path}: not the JSON of compare.py (no object at the top)")
    wrong = [key for key, kind in REQUIRED.items() if not isinstance(data.get(key), kind)]
    wrong += [f"meta.{key}" for key in REQUIRED_META if key not in data.get("meta", {})]
    if wrong:
        raise cli.ToolError(
            f"FILE {path}: not the JSON of compare.py (missing or malformed: {', '.join(wrong)})"
        )
    return data


def make_folder(path):
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise cli.ToolError(
            f"--out {path}: cannot make the folder ({error.strerror or error})"
        ) from None
    cli.check_writable(os.path.join(path, "report.md"), "--out")


def main(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="JSON written by compare.py")
    parser.add_argument("--out", required=True, help="folder for report.md and the plots")
    args = parser.parse_args(argv)
    report = Report(read_comparison(args.file))
    make_folder(args.out)
    plots, note = plot(report, args.out)
    with open(os.path.join(args.out, "report.md"), "w") as out:
        out.write(report.markdown(plots, note))
    cut_short = (
        ""
        if report.meta.get("complete", True)
        else "; the run was cut short, drawn as far as it got"
    )
    print(
        f"report.md and {len(plots)} plots in {args.out}"
        + (f" ({note})" if note else "")
        + cut_short
    )
    return 0


if __name__ == "__main__":
    sys.exit(cli.run(main))
