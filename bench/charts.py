"""PNG charts of the ring throughput and of the scaling series (matplotlib, no display).

    /usr/bin/python3 bench/charts.py   # re-renders bench/report/*.png from bench/report/latest.json
"""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from common import fmt_size  # noqa: E402

_STYLE = {
    "kelparine": dict(color="tab:blue", marker="o", linewidth=2.5),
    "C++ floor": dict(color="black", marker="s", linestyle="--"),
    "pure-Python ring": dict(color="tab:green", marker="^"),
    "mp.Pipe": dict(color="tab:orange", marker="v"),
    "mp.Queue": dict(color="tab:red", marker="D"),
}


# Text sizes for a chart shown at the width of a page (about 700 pixels for a 1,320-pixel
# image): ticks and labels stay legible when the image is scaled down by half.
_TICK_SIZE = 15
_LABEL_SIZE = 16
_LEGEND_SIZE = 14


def _si_label(value, _position=None):
    """1e6 -> '1M': short tick labels on the log axes."""
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:g}{suffix}"
    return f"{value:g}"


def _throughput_chart(series, styles, path, title, title_size=15):
    """Messages/s and payload MB/s against message size on log axes, a line per series
    (name -> {size: {"msg_per_s": ..., "mb_per_s": ...}}), one legend below both panels."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullLocator

    figure, (rate_axis, bandwidth_axis) = plt.subplots(1, 2, figsize=(12, 5.4))
    lines = []
    for name, by_size in series.items():
        sizes = sorted(by_size)
        style = styles.get(name, {})
        lines += rate_axis.plot(sizes, [by_size[s]["msg_per_s"] for s in sizes], label=name, markersize=8, **style)
        bandwidth_axis.plot(sizes, [by_size[s]["mb_per_s"] for s in sizes], label=name, markersize=8, **style)
    sizes = sorted(set().union(*series.values()))
    # At most five size labels: every other one when there are more.
    ticks = sizes if len(sizes) <= 5 else sizes[:: (len(sizes) + 4) // 5]
    for axis, label in ((rate_axis, "messages / s"), (bandwidth_axis, "payload MB / s")):
        axis.set_xscale("log", base=2)
        axis.set_yscale("log")
        axis.set_xlabel("message size", fontsize=_LABEL_SIZE)
        axis.set_ylabel(label, fontsize=_LABEL_SIZE)
        axis.set_xticks(ticks, [fmt_size(s) for s in ticks])
        axis.xaxis.set_minor_locator(NullLocator())
        # A label every decade, or every other decade on tall ranges; no minor ticks.
        low, high = axis.get_ylim()
        decades = len(str(int(high))) - len(str(int(max(low, 1))))
        axis.yaxis.set_major_locator(LogLocator(base=100 if decades > 6 else 10))
        axis.yaxis.set_minor_locator(NullLocator())
        axis.yaxis.set_major_formatter(FuncFormatter(_si_label))
        axis.tick_params(labelsize=_TICK_SIZE)
        axis.grid(True, which="major", alpha=0.3)
    figure.legend(handles=lines, loc="lower center", ncol=min(5, len(lines)), fontsize=_LEGEND_SIZE,
                  frameon=False)
    figure.suptitle(title, fontsize=title_size)
    figure.tight_layout(rect=(0, 0.09, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def ring_chart(ring, path, subtitle):
    _throughput_chart(ring["peers"], _STYLE, path, f"SPSC ring, one producer and one consumer process ({subtitle})")


def scaling_chart(scaling, path, subtitle):
    figure, (size_axis, entries_axis) = plt.subplots(1, 2, figsize=(12, 4.8))
    for name, series in scaling["size"].items():
        sizes = sorted(series["ns"])
        measured = [series["ns"][s] for s in sizes]
        line = size_axis.plot(sizes, measured, marker="o", label=name)[0]
        fit = series["fit"]
        # The fitted line on log axes: a dense curve, cut where it falls below the measurements
        # (a negative intercept would send it to minus infinity).
        dense = [sizes[0] * (sizes[-1] / sizes[0]) ** (i / 200) for i in range(201)]
        fitted = [(x, fit["intercept"] + fit["slope"] * x) for x in dense]
        fitted = [(x, y) for x, y in fitted if y >= min(measured) / 2]
        size_axis.plot(*zip(*fitted), linestyle=":", color=line.get_color(),
                       label=f"  fit: {fit['slope']:.3f} ns/B, R²={fit['r2']:.3f}")
    size_axis.set_xscale("log", base=2)
    size_axis.set_yscale("log")
    size_axis.set_xticks(sizes, [fmt_size(s) for s in sizes], rotation=45)
    size_axis.set_xlabel("payload bytes")
    size_axis.set_ylabel("ns per call")
    size_axis.legend(fontsize=8)
    size_axis.grid(True, which="both", alpha=0.3)
    for name, series in scaling["entries"].items():
        entries = sorted(series["ns"])
        fit = series["fit"]
        entries_axis.plot(entries, [series["ns"][e] for e in entries], marker="o", label=name)
        entries_axis.plot(entries, [fit["intercept"] + fit["slope"] * e for e in entries], linestyle=":",
                          label=f"  fit: {fit['slope']:.1f} ns/entry, R²={fit['r2']:.4f}")
    entries_axis.set_xlabel("schema entries")
    entries_axis.set_ylabel("ns per call")
    entries_axis.legend(fontsize=8)
    entries_axis.grid(True, alpha=0.3)
    figure.suptitle(f"Cost against work per call, one process ({subtitle})")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


_BULK_STYLE = {
    "push/pop (bytes)": dict(color="tab:blue", marker="o"),
    "push/pop_into (reused buffer)": dict(color="tab:purple", marker="^"),
    "reserve/borrow (zero copy)": dict(color="tab:green", marker="D", linewidth=2.5),
    "C++ floor": dict(color="black", marker="s", linestyle="--"),
}


def bulk_chart(sizes, path, subtitle):
    """Throughput against message size for the bytes, pop_into and zero-copy paths."""
    _throughput_chart(sizes["series"], _BULK_STYLE, path,
                      "Ring paths against message size: the producer copies the payload in; pop copies it out to\n"
                      f"a new bytes object, pop_into to a reused buffer, borrow not at all ({subtitle})",
                      title_size=13)


def _sizes_as_ints(value):
    """JSON keeps sizes as text: '64' -> 64, so that they sort and plot as numbers."""
    if isinstance(value, dict):
        return {int(k) if k.isdigit() else k: _sizes_as_ints(v) for k, v in value.items()}
    return value


def main():
    import json

    from common import REPORT

    report = json.loads((REPORT / "latest.json").read_text())
    results, meta = _sizes_as_ints(report["results"]), report["meta"]
    subtitle = f"{meta['mode']} run, {meta['date']}"
    if results.get("ring"):
        ring_chart(results["ring"], REPORT / "ring_throughput.png", subtitle)
    if results.get("scaling"):
        scaling_chart(results["scaling"], REPORT / "scaling.png", subtitle)
    if results.get("bulk"):
        bulk_chart(results["bulk"]["sizes"], REPORT / "bulk_sizes.png", subtitle)


if __name__ == "__main__":
    main()
