"""The headline figures of README.md and docs/index.md, rendered from one source: the report
of the last full benchmark run (bench/report/latest.json, the figures of table.txt).

Each page holds its figures between marker comments:

    <!-- figures:NAME (made by bench/figures.py from bench/report/latest.json) -->
    ...
    <!-- /figures:NAME -->

    /usr/bin/python3 bench/figures.py           # rewrite the blocks from the report
    /usr/bin/python3 bench/figures.py --check   # exit 1, naming them, if blocks differ from it

Run it after copying a new report into bench/report/ (bench/run.py --report).
"""

import argparse
import json
import re
import sys
import textwrap
from pathlib import Path

from common import REPORT, ROOT, fmt_si

PAGES = {"README.md": ("readme-headline", "readme-table"), "docs/index.md": ("index-headline",)}


def ratio(value):
    return f"{value:.1f}x" if value < 10 else f"{value:.0f}x"


def micros(value):
    return f"{value:.1f} us" if value < 10 else f"{value:.0f} us"


def figures(report):
    """The quoted figures, computed as bench/run.py's table computes them."""
    results = report["results"]
    peers = results["ring"]["peers"]
    ours = peers["kelparine"]["64"]["msg_per_s"]
    wait, bulk, view = results["wait"], results["bulk"], results["view"]["read_range_64"]
    numpy = bulk["numpy"]["by_size"]["6000000"]
    large = bulk["large"]
    queue = results.get("queue") or {}
    return {
        "meta": report["meta"],
        # The queue rows appear once the report has a queue section.
        "queue_flow": (queue.get("flows") or {}).get("64 B, 4 -> 4"),
        "queue_pool": queue.get("pool"),
        "ring_64": ours,
        "queue_64": peers["mp.Queue"]["64"]["msg_per_s"],
        "pipe_64": peers["mp.Pipe"]["64"]["msg_per_s"],
        "floor_64": peers["C++ floor"]["64"]["msg_per_s"],
        "batches_64": bulk["batches"]["msg_per_s"]["push_many/pop_many, batches of 64"],
        "batches_floor": bulk["batches"]["msg_per_s"]["C++ floor"],
        "trip": wait["round_trip"]["put/get over two rings"]["p50_us"],
        "trip_pipe": wait["round_trip"]["mp.Pipe (duplex)"]["p50_us"],
        "wake": wait["wake"]["kelparine, not pinned"],
        "wake_pipe": wait["wake"]["mp.Pipe, not pinned"],
        "idle": max(row["core_fraction"] for row in wait["idle"].values()),
        "numpy": numpy["arrays_per_s"]["reserve/borrow (frames of half the ring)"],
        "numpy_by_hand": numpy["arrays_per_s"]["shared_memory by hand + Pipe"],
        "numpy_queue": numpy["arrays_per_s"]["mp.Queue (pickled arrays)"],
        "numpy_vs_by_hand": numpy["ratios"]["shared_memory by hand + Pipe"]["median"],
        "numpy_vs_queue": numpy["ratios"]["mp.Queue (pickled arrays)"]["median"],
        "pop_into_gbs": large["msg_per_s"]["pop_into(reused bytearray)"] * large["size"] / 1e9,
        "floor_gbs": large["msg_per_s"]["C++ floor"] * large["size"] / 1e9,
        "read_range": view["kelparine"],
        "read_stdlib": view["stdlib"],
        "read_locked": view["stdlib+lock"],
    }


def wrapped(text, bullet=False):
    """Markdown prose at the pages' width; a bullet's lines after the first are indented."""
    return textwrap.fill(text, width=96, subsequent_indent="  " if bullet else "", break_long_words=False,
                         break_on_hyphens=False)


def ring_sentence(f):
    """The one sentence both pages lead with."""
    return (f"A ring moves 64-byte messages between two processes **{ratio(f['ring_64'] / f['queue_64'])} faster "
            f"than `multiprocessing.Queue`** and {ratio(f['ring_64'] / f['pipe_64'])} faster than "
            f"`multiprocessing.Pipe`")


def blocks(report):
    f = figures(report)
    meta = f["meta"]
    trip = f"blocked in `put`/`get`, a round trip takes {micros(f['trip'])} (a `Pipe`: {micros(f['trip_pipe'])})"
    return {
        "readme-headline": "\n".join([
            wrapped(f"- {ring_sentence(f)}; {trip} and an idle wait costs at most {f['idle']:.2%} of a core.",
                    bullet=True),
            wrapped(f"- NumPy arrays are built and read **in place** in the ring (`reserve`/`borrow`): 6 MB "
                    f"arrays move {ratio(f['numpy_vs_by_hand'])} faster than through "
                    f"`multiprocessing.shared_memory` slots handed over by hand, {ratio(f['numpy_vs_queue'])} "
                    f"faster than through a `Queue`.", bullet=True),
        ]),
        "readme-table": "\n".join([
            wrapped(f"From `bench/report/table.txt` ({meta['cpus']}-core {meta['cpu']} machine, CPython "
                    f"{'.'.join(meta['python'].split('.')[:2])}; {meta['mode']} run of {meta['date']}, medians "
                    f"of {meta['repeats']} runs, ratios the medians of back-to-back pairs):"),
            "",
            "| Measure | kelparine | Peers, same run |",
            "|---|---|---|",
            f"| ring, 64 B messages, two processes | {fmt_si(f['ring_64'])} msg/s; {fmt_si(f['batches_64'])} msg/s "
            f"in batches of 64 | `mp.Queue` {fmt_si(f['queue_64'])}, `mp.Pipe` {fmt_si(f['pipe_64'])}, C++ ring "
            f"{fmt_si(f['floor_64'])} ({fmt_si(f['batches_floor'])}) |",
            f"| round trip, 64 B, blocked in `put`/`get` | {micros(f['trip'])} (p50) | `mp.Pipe` "
            f"{micros(f['trip_pipe'])} |",
            f"| wake-up, `put` to a `get` parked on another CPU | {micros(f['wake']['p50_us'])} (p50), "
            f"{micros(f['wake']['p99_us'])} (p99) | `mp.Pipe` {micros(f['wake_pipe']['p50_us'])}, "
            f"{micros(f['wake_pipe']['p99_us'])} |",
            f"| NumPy 6 MB arrays, filled and summed, in place | {f['numpy']:,.0f} arrays/s | `shared_memory` by "
            f"hand {f['numpy_by_hand']:,.0f}, `mp.Queue` {f['numpy_queue']:,.0f} |",
            f"| ring, 1 MiB messages, `pop_into` a reused buffer | {f['pop_into_gbs']:.1f} GB/s | C++ ring "
            f"{f['floor_gbs']:.1f} GB/s |",
            f"| view `read_range(off, 64)` | {f['read_range']:.0f} ns | `bytes(buf[off:off+64])` "
            f"{f['read_stdlib']:.0f} ns, under `mp.Lock` {f['read_locked']:.0f} ns |",
            *queue_rows(f),
        ]),
        "index-headline": wrapped(
            f"{ring_sentence(f)}, and a view's `read_range(off, 64)` takes {f['read_range']:.0f} ns where the "
            f"same read of a `multiprocessing.shared_memory` buffer takes {f['read_stdlib']:.0f} ns "
            f"({f['read_locked']:.0f} ns under an `mp.Lock`) ([Performance](performance.md))."),
    }


def queue_rows(f):
    rows = []
    flow, pool = f["queue_flow"], f["queue_pool"]
    if flow:
        rates = flow["items_per_s"]
        rows.append(f"| `Queue`, 64 B items, 4 producer and 4 consumer processes | {fmt_si(rates['kelparine.Queue'])} "
                    f"items/s | `mp.Queue` {fmt_si(rates['mp.Queue'])} |")
    if pool:
        seconds = pool["seconds"]
        rows.append(f"| worker pool on `Queue`, {fmt_si(pool['jobs'])} jobs, {pool['workers']} workers "
                    f"(`examples/queue_pool.py`) | {seconds['kelparine.Queue']:.2f} s | `mp.Queue` "
                    f"{seconds['mp.Queue']:.2f} s, `mp.Pool` one job per task "
                    f"{seconds['mp.Pool imap_unordered(chunksize=1)']:.2f} s, `mp.Pool.map` in chunks "
                    f"{seconds['mp.Pool map (default chunks)']:.2f} s |")
    return rows


def block_pattern(name):
    return re.compile(rf"(<!-- figures:{re.escape(name)} [^\n]*-->\n)(.*?)(<!-- /figures:{re.escape(name)} -->)",
                      re.S)


def rendered(text, name, body):
    """`text` with block `name` replaced by `body`; ValueError when its markers are missing."""
    pattern = block_pattern(name)
    if not pattern.search(text):
        raise ValueError(f"no figures:{name} block")
    return pattern.sub(lambda m: m.group(1) + body + "\n" + m.group(3), text, count=1)


def stale(root=ROOT, report_path=REPORT / "latest.json"):
    """[(page, {block: up-to-date text})] for every page whose blocks differ from the report."""
    bodies = blocks(json.loads(Path(report_path).read_text()))
    out = []
    for page, names in PAGES.items():
        text = (Path(root) / page).read_text()
        new = text
        for name in names:
            new = rendered(new, name, bodies[name])
        if new != text:
            out.append((page, new))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only report pages whose figures are stale")
    args = parser.parse_args()
    changed = stale()
    for page, text in changed:
        if args.check:
            print(f"{page}: figures differ from bench/report/latest.json (run bench/figures.py)")
        else:
            (ROOT / page).write_text(text)
            print(f"{page}: figures rewritten")
    return 1 if args.check and changed else 0


if __name__ == "__main__":
    sys.exit(main())
