"""kelparine benchmarks: the module side by side with what users would use instead, in one run.

    PYTHONPATH=build /usr/bin/python3 bench/run.py [--quick] [--report] [--only SECTION ...]
                                                   [--baseline BUILD_DIR]

(or `bash scripts/bench.sh [--quick] [--report]`, which builds first). Sections:
  ring     two-process ring throughput against mp.Queue, mp.Pipe, a pure-Python ring and C++
  view     MappedView calls against bytes/slices/struct on multiprocessing.shared_memory
  lock     uncontended lock cost (C++) and Python readers beside a writer process
  scaling  ns per call against payload size and schema length, with fitted slopes
  instr    instructions per call under callgrind
  wait     blocking calls: idle cost, wake-up latency, round trip, throughput, threads, select
  bulk     batches, 1 MiB pop_into/pop, NumPy arrays by loans and by the alternatives, sizes
  arrays   array messages: reserve_array/borrow_array, put_array/get_array, shared_memory slots
  records  (int, float, str) records in batches of 1,000 against mp.Pipe and pyzmq, pickled
  presence a dead producer: SIGKILL to EOFError in a blocked get(), beside mp.Pipe and mp.Queue;
           64 B push/pop and put/get against a baseline build of another commit (--baseline DIR)
  bridge   kelparine.bridge between two rings over loopback TCP against pyzmq PUSH/PULL alone
  asyncio  awaitable members: round trip against mp.Pipe + add_reader and pyzmq asyncio, streaming
           into an aget() loop beside a 1 ms ticker, CPU of an idle aget()
  queue    kelparine.Queue: 64 B and (int, float, str) items from P to C processes against
           mp.Queue and the ring, put_many/get_many, the worker-pool example against mp.Queue
           and mp.Pool, and a producer killed between its claim and its commit

Prints a table with ratios against each peer and the performance targets (PASS/MISS), writes
the raw figures to bench/results/latest.json, the table to bench/results/table.txt and charts
to bench/results/*.png; --report also copies the table, charts and JSON into bench/report/.
Every figure is a median over several runs (5 with --quick, 7 otherwise).
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import array_suite
import asyncio_suite
import bridge_suite
import presence_suite
import queue_suite
from common import MiB, REPORT, RESULTS, ROOT, Settings, fmt_si, fmt_size

SECTIONS = ("ring", "view", "lock", "scaling", "instr", "wait", "bulk", "arrays", "records", "presence", "bridge",
            "asyncio", "queue")


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------- targets

def targets(results):
    """[(description, measured text, passed or None when not measured)]."""
    rows = []
    ring = (results.get("ring") or {}).get("peers")
    if ring:
        ours = ring["kelparine"][64]["msg_per_s"]
        rows.append(("ring 64 B >= 5 M msg/s", f"{fmt_si(ours)} msg/s", ours >= 5e6))
        for peer, factor in (("mp.Queue", 40), ("mp.Pipe", 10), ("pure-Python ring", 4), ("C++ floor", 0.5)):
            ratio = ours / ring[peer][64]["msg_per_s"]
            rows.append((f"ring 64 B >= {factor:g}x {peer}", f"{ratio:.2f}x", ratio >= factor))
        ratio = ring["kelparine"][MiB]["mb_per_s"] / ring["C++ floor"][MiB]["mb_per_s"]
        rows.append(("ring 1 MiB >= 85% of the C++ floor's MB/s", f"{ratio:.0%}", ratio >= 0.85))
    view = results.get("view")
    if view:
        for key, text, factor in (("read_range_64", "read_range(off, 64) >= 3x faster than bytes(buf[...])", 3.0),
                                  ("write_64", "write 64 B at least as fast as buf[...] = data", 1.0),
                                  ("read_i64", "read('i64') >= 2x faster than struct.unpack_from", 2.0)):
            ratio = view[key]["stdlib"] / view[key]["kelparine"]
            rows.append((text, f"{ratio:.2f}x", ratio >= factor))
        excess = view["read_all_1MiB"]["kelparine"] / view["read_all_1MiB"]["stdlib"] - 1
        rows.append(("read_all 1 MiB within 10% of a 1 MiB copy (bytes(buf))", f"{excess:+.1%} time",
                     excess <= 0.10))
    rows += wait_targets(results.get("wait"))
    rows += bulk_targets(results.get("bulk"))
    rows += array_suite.targets(results.get("arrays"))
    rows += records_targets(results.get("records"))
    rows += presence_suite.targets(results.get("presence"))
    rows += asyncio_suite.targets(results.get("asyncio"))
    rows += queue_suite.targets(results.get("queue"))
    return rows


def records_targets(records):
    if not records:
        return []
    rows = []
    for peer, short, factor in (("mp.Pipe, pickled lists", "mp.Pipe", 1.5),
                                ("pyzmq PUSH/PULL, send_pyobj", "pyzmq", 1.3)):
        if peer in records["ratios"]:
            ratio = records["ratios"][peer]["median"]
            rows.append((f"records in batches >= {factor:g}x {short}", f"{ratio:.2f}x", ratio >= factor))
    return rows


def wait_targets(wait):
    if not wait:
        return []
    rows = []
    worst = max(row["core_fraction"] for row in wait["idle"].values())
    rows.append(("idle in get()/put()/select() <= 1% of a core", f"{worst:.2%}", worst <= 0.01))
    ours = wait["wake"]["kelparine put -> get"]
    rows.append(("wake-up p50 <= 30 us", f"{ours['p50_us']:.1f} us", ours["p50_us"] <= 30))
    rows.append(("wake-up p99 <= 300 us", f"{ours['p99_us']:.0f} us", ours["p99_us"] <= 300))
    ratio = wait["round_trip"]["ratio_p50"]["median"]
    rows.append(("round trip p50 <= 0.5x mp.Pipe's", f"{ratio:.2f}x", ratio <= 0.5))
    ratio = wait["throughput"]["ratio"]["median"]
    rows.append(("put/get 64 B >= 0.8x push/pop", f"{ratio:.2f}x", ratio >= 0.8))
    ratio = min(row["ratio"]["median"] for row in wait["threads"].values())
    rows.append(("second thread beside get() >= 0.5x its solo rate", f"{ratio:.2f}x", ratio >= 0.5))
    ratio = next(row["p50_vs_first"]["median"] for name, row in wait["select"].items() if name.endswith("8 rings"))
    rows.append(("select over 8 rings: wake-up p50 <= 1.5x one ring's", f"{ratio:.2f}x", ratio <= 1.5))
    return rows


def bulk_targets(bulk):
    if not bulk:
        return []
    rows = []
    ratios = bulk["batches"]["ratios"]
    ratio = ratios["push/pop, one call each"]["median"]
    rows.append(("64 B batches of 64 >= 3x the single-call loop", f"{ratio:.2f}x", ratio >= 3))
    ratio = ratios["C++ floor"]["median"]
    rows.append(("64 B batches of 64 >= 0.8x the C++ floor", f"{ratio:.2f}x", ratio >= 0.8))
    ratio = bulk["large"]["vs_floor"]["pop_into(reused bytearray)"]["median"]
    rows.append(("1 MiB pop_into >= 0.9x the C++ floor", f"{ratio:.2f}x", ratio >= 0.9))
    numpy = bulk.get("numpy")
    for size, row in (numpy or {}).get("by_size", {}).items():
        ratios = row["ratios"]
        for peer, factor in ((numpy["copy_path"], 1.5), ("mp.Queue (pickled arrays)", 20),
                             ("shared_memory by hand + Pipe", 1.0)):
            ratio = ratios[peer]["median"]
            rows.append((f"NumPy {fmt_size(int(size))}: loans >= {factor:g}x {peer.split(' + ')[0].split(' (')[0]}",
                         f"{ratio:.2f}x", ratio >= factor))
    return rows


# ------------------------------------------------------------------------------------------ table

def _ratio(value):
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x" if value < 100 else f"{value:.0f}x"


def ring_table(ring, lines):
    cpus = ring["pinned_cpus"]
    lines.append(f"Ring: one producer process, one consumer process; {fmt_size(ring['capacity'])} data area; "
                 + (f"producer on CPU {cpus[0]}, consumer on CPU {cpus[1]}" if cpus else "not pinned"))
    lines.append(f"  {'size':<8} {'peer':<18} {'msg/s':>10} {'MB/s':>9}   kelparine vs peer")
    peers = ring["peers"]
    for size in sorted(peers["kelparine"]):
        ours = peers["kelparine"][size]["msg_per_s"]
        for i, (peer, by_size) in enumerate(peers.items()):
            row = by_size[size]
            ratio = "" if peer == "kelparine" else _ratio(ours / row["msg_per_s"])
            lines.append(f"  {fmt_size(size) if i == 0 else '':<8} {peer:<18} {fmt_si(row['msg_per_s']):>10} "
                         f"{row['mb_per_s']:>9.0f}   {ratio}")


def view_table(view, lines):
    lines.append("View: ns per call in one process (timeit, CPU time); speed-up = peer time / kelparine time")
    lines.append(f"  {'operation':<56} {'kelparine':>9} {'stdlib':>8} {'speed-up':>8} "
                 f"{'+mp.Lock':>9} {'speed-up':>8}")
    for row in view.values():
        ours = row["kelparine"]
        lines.append(f"  {row['what']:<56} {ours:>9.0f} {row['stdlib']:>8.0f} {_ratio(row['stdlib'] / ours):>8} "
                     f"{row['stdlib+lock']:>9.0f} {_ratio(row['stdlib+lock'] / ours):>8}")
    extras = []
    if "kelparine seek + read" in view.get("read_i64", {}):
        extras.append(f"seek(off) + read('i64'): {view['read_i64']['kelparine seek + read']:.0f} ns")
    if "memmove (no allocation)" in view.get("read_all_1MiB", {}):
        extras.append(f"ctypes.memmove of 1 MiB into a preallocated buffer: "
                      f"{view['read_all_1MiB']['memmove (no allocation)']:.0f} ns")
    for extra in extras:
        lines.append(f"  also: {extra}")


def lock_table(lock, lines):
    if lock.get("cpp"):
        lines.append("Lock: uncontended acquire + release in C++ (Google Benchmark, CPU time; wall time in brackets), "
                     "lock in a MAP_SHARED page")
        for name, row in lock["cpp"].items():
            lines.append(f"  {name:<28} {row['cpu_ns']:>6.2f} ns   ({row['real_ns']:.2f} ns)")
    if lock.get("python"):
        lines.append("Lock: Python readers (read_range(off, 64)) beside one writer process (write 64 B)")
        lines.append(f"  {'setup':<44} {'reads/s':>10} {'per reader':>22} {'writes/s':>10}")
        for name, row in lock["python"].items():
            per_reader = " + ".join(fmt_si(r) for r in row["per_reader"])
            lines.append(f"  {name:<44} {fmt_si(row['reads_per_s']):>10} {per_reader:>22} "
                         f"{fmt_si(row['writes_per_s']):>10}")


def scaling_table(scaling, lines):
    sizes = sorted(next(iter(scaling["size"].values()))["ns"])
    lines.append("Scaling: ns per call against payload size (one process, timeit, CPU time)")
    lines.append(f"  {'':<16}" + "".join(f"{fmt_size(s):>9}" for s in sizes))
    for name, series in scaling["size"].items():
        lines.append(f"  {name:<16}" + "".join(f"{series['ns'][s]:>9.0f}" for s in sizes))
    for name, series in scaling["size"].items():
        fit = series["fit"]
        lines.append(f"  {name:<16} fit: {fit['intercept']:.0f} ns + {fit['slope']:.4f} ns/B "
                     f"({1 / fit['slope']:.1f} GB/s), R^2 {fit['r2']:.4f}; slope <= 16 KiB "
                     f"{fit['slope_small']:.4f}, >= 16 KiB {fit['slope_large']:.4f} ns/B")
    for name, series in scaling["entries"].items():
        entries = sorted(series["ns"])
        fit = series["fit"]
        lines.append(f"Scaling: {name}, ns per call against schema entries")
        lines.append(f"  {'entries':<16}" + "".join(f"{e:>9}" for e in entries))
        lines.append(f"  {'ns':<16}" + "".join(f"{series['ns'][e]:>9.0f}" for e in entries))
        lines.append(f"  fit: {fit['intercept']:.0f} ns + {fit['slope']:.1f} ns/entry, R^2 {fit['r2']:.4f}")


def instr_table(instr, lines):
    lines.append(f"Instructions per call (callgrind; {instr['calls']} calls minus an empty loop of "
                 f"{instr['empty_loop_per_iteration']:.0f} per iteration)")
    for name, count in instr["per_call"].items():
        lines.append(f"  {name:<44} {count:>7.0f}")
    for name, parts in instr.get("breakdown", {}).items():
        top = ", ".join(f"{fn} {cost:.0f}" for fn, cost in parts.items())
        lines.append(f"  where: {name}: {top}")


def _ratio_text(pair):
    return f"{_ratio(pair['median'])} ({_ratio(pair['min'])}-{_ratio(pair['max'])})"


def wait_table(wait, lines):
    cpus = wait.get("pinned_cpus")
    lines.append("Wait: blocking calls between two processes" + (f" (pinned to CPUs {cpus[0]} and {cpus[1]})" if cpus
                                                             else "") + "; ratios: median of paired runs (range)")
    lines.append("  idle: processor time while blocked")
    for what, row in wait["idle"].items():
        lines.append(f"    {what:<40} {row['cpu_s'] * 1e3:>7.1f} ms in {row['wall_s']:.1f} s = "
                     f"{row['core_fraction']:.2%} of a core")
    for key, title in (("wake", "wake-up latency, one way, consumer parked"),
                       ("select", "select wake-up latency, consumer parked")):
        rows = wait[key]
        first = next(iter(rows))
        lines.append(f"  {title}: {'p50':>9} {'p99':>9}   p50 / {first}'s   p99 / {first}'s")
        for name, row in rows.items():
            extra = ""
            if "p50_vs_first" in row:
                extra = f"   {_ratio_text(row['p50_vs_first']):<22} {_ratio_text(row['p99_vs_first'])}"
            lines.append(f"    {name:<38} {row['p50_us']:>7.1f} us {row['p99_us']:>7.0f} us{extra}")
    lines.append("    (pinned, a side waits for its one CPU after a wake-up when other work runs there)")
    trip = wait["round_trip"]
    lines.append("  round trip, 64 B ping-pong:")
    for name in ("put/get over two rings", "mp.Pipe (duplex)"):
        lines.append(f"    {name:<38} p50 {trip[name]['p50_us']:>7.1f} us   p99 {trip[name]['p99_us']:>7.0f} us")
    lines.append(f"    rings / Pipe at p50: {_ratio_text(trip['ratio_p50'])}")
    tput = wait["throughput"]
    lines.append(f"  throughput 64 B: put/get {fmt_si(tput['put/get msg/s'])} msg/s, push/pop "
                 f"{fmt_si(tput['push/pop msg/s'])} msg/s; put/get / push/pop: {_ratio_text(tput['ratio'])}")
    lines.append("  a second thread counting in Python (iterations/s):")
    for name, row in wait["threads"].items():
        lines.append(f"    {name:<44} {fmt_si(row['beside']):>8} beside, {fmt_si(row['solo']):>8} solo: "
                     f"{_ratio_text(row['ratio'])}")


def bulk_table(bulk, lines):
    batches = bulk["batches"]
    lines.append("Bulk: 64 B messages, two processes; ratios: push_many/pop_many against each, median of paired "
                 "runs (range)")
    for name, rate in batches["msg_per_s"].items():
        ratio = batches["ratios"].get(name)
        lines.append(f"  {name:<40} {fmt_si(rate):>8} msg/s   {_ratio_text(ratio) if ratio else ''}")
    large = bulk["large"]
    lines.append(f"Bulk: {fmt_size(large['size'])} messages; against the C++ floor (copies out into a reused buffer)")
    for name, rate in large["msg_per_s"].items():
        ratio = large["vs_floor"].get(name)
        lines.append(f"  {name:<40} {fmt_si(rate):>8} msg/s {rate * large['size'] / 1e9:>6.1f} GB/s   "
                     f"{_ratio_text(ratio) if ratio else ''}")
    numpy = bulk.get("numpy")
    if numpy:
        for size, row in numpy["by_size"].items():
            lines.append(f"Bulk: NumPy float64 arrays of {fmt_size(int(size))}, producer fills, consumer sums; "
                         f"loans (frames of half the ring) against each")
            for name, rate in row["arrays_per_s"].items():
                ratio = row["ratios"].get(name)
                lines.append(f"  {name:<46} {rate:>9.0f} arrays/s {rate * int(size) / 1e9:>6.2f} GB/s   "
                             f"{_ratio_text(ratio) if ratio else ''}")
    sizes = bulk["sizes"]
    lines.append("Bulk: MB/s against message size (medians)")
    lines.append(f"  {'':<32}" + "".join(f"{fmt_size(s):>9}" for s in sizes["sizes"]))
    for name, series in sizes["series"].items():
        lines.append(f"  {name:<32}" + "".join(f"{series[s]['mb_per_s']:>9.0f}" for s in sizes["sizes"]))


def records_table(records, lines):
    lines.append(f"Records: {fmt_si(records['records'])} (int, float, str) records, two processes, batches of "
                 f"{records['batch']}; ratios: ours against each, median of paired runs (range)")
    for name, rate in records["records_per_s"].items():
        ratio = records["ratios"].get(name)
        lines.append(f"  {name:<40} {fmt_si(rate):>8} records/s   {_ratio_text(ratio) if ratio else ''}")


def build_table(results, meta):
    lines = [f"kelparine benchmarks, {meta['mode']} mode ({meta['repeats']} runs per figure, medians); "
             f"{meta['date']}; commit {meta['commit']}",
             f"{meta['cpu']}, {meta['cpus']} CPUs, load average {meta['load_before']} before the run; "
             f"Python {meta['python']}", ""]
    for key, render in (("ring", ring_table), ("view", view_table), ("lock", lock_table),
                        ("scaling", scaling_table), ("instructions", instr_table), ("wait", wait_table),
                        ("bulk", bulk_table), ("arrays", array_suite.table), ("records", records_table),
                        ("presence", presence_suite.table), ("bridge", bridge_suite.table),
                        ("asyncio", asyncio_suite.table), ("queue", queue_suite.table)):
        if results.get(key):
            render(results[key], lines)
            lines.append("")
    rows = targets(results)
    if rows:
        lines.append("Targets")
        for text, measured, passed in rows:
            lines.append(f"  {text:<58} {measured:>14}   {'PASS' if passed else 'MISS'}")
    return "\n".join(line.rstrip() for line in lines) + "\n"


# --------------------------------------------------------------------------------------------- run

def machine_meta(settings):
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"], capture_output=True,
                                text=True).stdout.strip() or "unknown"
    except OSError:
        commit = "unknown"
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {
        "mode": "quick" if settings.quick else "full",
        "repeats": settings.repeats,
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "commit": commit,
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "load_before": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


def jsonable(value):
    """Dict keys become strings in JSON; sizes are kept as their decimal text."""
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs (under a minute) instead of the full set")
    parser.add_argument("--report", action="store_true", help="also copy table, charts and JSON into bench/report/")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, help="run only these sections")
    parser.add_argument("--no-pin", action="store_true", help="do not pin the ring's two processes to CPUs")
    parser.add_argument("--baseline", metavar="BUILD_DIR",
                        help="the presence section's before/after runs: the build directory of another commit")
    args = parser.parse_args()

    import kelparine  # noqa: F401  (fail early, before anything runs, if the module is not built)
    import instr_suite
    import lock_suite
    import ring_suite
    import scaling_suite
    import view_suite
    import wait_suite
    import bulk_suite
    import records_suite

    if args.baseline:
        os.environ["KELPARINE_BASELINE_BUILD"] = os.path.abspath(args.baseline)
    settings = Settings.make(args.quick, pin=not args.no_pin)
    sections = args.only or SECTIONS
    meta = machine_meta(settings)
    started = time.monotonic()
    results = {}
    view_suite.check_equivalence()
    suites = {  # section -> (result key, module, what the log says)
        "ring": ("ring", ring_suite, "two-process throughput"),
        "view": ("view", view_suite, "single calls against the stdlib"),
        "lock": ("lock", lock_suite, "C++ uncontended cost, Python readers beside a writer"),
        "scaling": ("scaling", scaling_suite, "cost against size and schema length"),
        "instr": ("instructions", instr_suite, "callgrind"),
        "wait": ("wait", wait_suite, "blocking calls"),
        "bulk": ("bulk", bulk_suite, "batches, large messages, NumPy, sizes"),
        "arrays": ("arrays", array_suite, "array messages: loans, copies, shared_memory slots"),
        "records": ("records", records_suite, "records in batches against Pipe and pyzmq"),
        "presence": ("presence", presence_suite, "dead producers; throughput against a baseline build"),
        "bridge": ("bridge", bridge_suite, "the bridge over loopback TCP against pyzmq alone"),
        "asyncio": ("asyncio", asyncio_suite, "awaitable members: round trip, streaming beside a ticker, idle"),
        "queue": ("queue", queue_suite, "Queue against mp.Queue, the ring and mp.Pool; a killed producer"),
    }
    for section in SECTIONS:
        if section in sections:
            key, suite, what = suites[section]
            log(f"{key}: {what}")
            results[key] = suite.run(settings, log)
    meta["seconds"] = round(time.monotonic() - started, 1)
    meta["load_after"] = " ".join(f"{x:.2f}" for x in os.getloadavg())

    table = build_table(results, meta)
    RESULTS.mkdir(parents=True, exist_ok=True)
    outputs = [RESULTS / "table.txt", RESULTS / "latest.json"]
    outputs[0].write_text(table)
    document = {"meta": meta, "settings": vars(settings), "results": results,
                "targets": [{"target": t, "measured": m, "pass": p} for t, m, p in targets(results)]}
    outputs[1].write_text(json.dumps(jsonable(document), indent=1) + "\n")
    try:
        import charts

        subtitle = f"{meta['mode']} run, {meta['date']}"
        if results.get("ring"):
            charts.ring_chart(results["ring"], RESULTS / "ring_throughput.png", subtitle)
            outputs.append(RESULTS / "ring_throughput.png")
        if results.get("scaling"):
            charts.scaling_chart(results["scaling"], RESULTS / "scaling.png", subtitle)
            outputs.append(RESULTS / "scaling.png")
        if results.get("bulk"):
            charts.bulk_chart(results["bulk"]["sizes"], RESULTS / "bulk_sizes.png", subtitle)
            outputs.append(RESULTS / "bulk_sizes.png")
    except ImportError as error:
        log(f"charts skipped: {error}")
    if args.report:
        REPORT.mkdir(parents=True, exist_ok=True)
        for path in outputs:
            shutil.copyfile(path, REPORT / path.name)
    print(table, end="")
    print(f"({meta['seconds']} s; raw figures in {outputs[1].relative_to(ROOT)}"
          + (f", report in {REPORT.relative_to(ROOT)}" if args.report else "") + ")")


if __name__ == "__main__":
    main()
