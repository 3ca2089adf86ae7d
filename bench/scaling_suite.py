"""How the cost of a call grows with the work it does, in one process (timeit, ns per call):
ring push + pop and read_range / write against the payload size, read_mixed against the number
of schema entries. A least-squares line through the points gives the fixed cost (intercept)
and the marginal cost (slope: ns per byte or per entry). The cost is linear when the line
explains the points (R^2 near 1) and the slope fitted on the small sizes matches the slope
fitted on the large ones.
"""

import numpy

import kelparine

from common import KiB, MiB, ns_per_op_group, remove_segment, segment_name

SIZES = (16, 64, 256, KiB, 4 * KiB, 16 * KiB, 64 * KiB, 256 * KiB, MiB)
ENTRIES = (1, 3, 10, 30, 100, 300, 1000)
SPLIT = 16 * KiB  # the small-size and large-size slopes share this point


def fit(xs, ys):
    """{"intercept", "slope", "r2"} of the least-squares line through the points."""
    x, y = numpy.asarray(xs, float), numpy.asarray(ys, float)
    slope, intercept = numpy.polyfit(x, y, 1)
    residual = y - (slope * x + intercept)
    total = ((y - y.mean()) ** 2).sum()
    return {"intercept": float(intercept), "slope": float(slope),
            "r2": float(1 - (residual ** 2).sum() / total) if total else 1.0}


def fit_series(xs, ys, split=None):
    result = fit(xs, ys)
    if split is not None:
        small = [(x, y) for x, y in zip(xs, ys) if x <= split]
        large = [(x, y) for x, y in zip(xs, ys) if x >= split]
        result["slope_small"] = fit(*zip(*small))["slope"]
        result["slope_large"] = fit(*zip(*large))["slope"]
    return result


def run(settings, log):
    ring_name, view_name = segment_name("scale-ring"), segment_name("scale-view")
    try:
        ring = kelparine.SharedMemory.create(ring_name, 24 + 4 * MiB).spsc()
        view = kelparine.SharedMemory.create(view_name, 4 + 2 * MiB).map()
        namespace = {"push": ring.push, "pop": ring.pop, "read_range": view.read_range, "write": view.write,
                     "read_mixed": view.read_mixed}
        series = {"ring push + pop": {}, "read_range": {}, "write": {}}
        group = {}
        for size in SIZES:
            namespace[f"payload_{size}"] = bytes(size)
            group["ring push + pop", size] = (f"push(payload_{size}); pop()", "pass", None)
            group["read_range", size] = (f"read_range(0, {size})", "pass", None)
            group["write", size] = (f"write(payload_{size}, 0)", "pass", None)
        view.write_mixed(list(range(max(ENTRIES))), 0)
        for entries in ENTRIES:
            namespace[f"schema_{entries}"] = [("i64", 1)] * entries
            group["read_mixed", entries] = (f"read_mixed(schema_{entries}, 0)", "pass", None)
        timed = ns_per_op_group(group, namespace, settings)
        mixed = {}
        for (name, x), ns in timed.items():
            (mixed if name == "read_mixed" else series[name])[x] = ns
        results = {"size": {}, "entries": {}}
        for name, points in series.items():
            results["size"][name] = {"ns": points, "fit": fit_series(list(points), list(points.values()), SPLIT)}
            log(f"scaling: {name}: {results['size'][name]['fit']['slope']:.4f} ns/B")
        results["entries"]["read_mixed (i64, 1) x n"] = {"ns": mixed, "fit": fit_series(list(mixed),
                                                                                         list(mixed.values()))}
        return results
    finally:
        remove_segment(ring_name)
        remove_segment(view_name)
