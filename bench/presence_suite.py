"""Dead peers: how soon a consumer learns that its producer is gone, and what the presence
locks cost the hot paths.

  dead producer  a producer process sends a few messages and stays; the consumer process takes
                 them (so it has seen the producer), reports that it is about to wait, and
                 blocks on the empty channel; after a random PAUSE (the consumer surely parked,
                 past its spin and the first 50 ms of 1 ms parks) this process stamps CLOCK_MONOTONIC
                 and SIGKILLs the producer; the consumer stamps the clock as its call raises.
                   kelparine  get() raises EOFError
                   mp.Pipe    recv_bytes() raises EOFError (every other copy of the write end
                              is closed: this process's and the consumer's)
                   mp.Queue   get(timeout=QUEUE_TIMEOUT) can only time out: the queue's pipe
                              is held open by every process that has the queue
                 Each trial kills a ring's producer, then a Pipe's writer, after the same
                 pause: the two are compared trial by trial.
  before/after   64 B push/pop (busy polling) and put/get between two processes, the loops of
                 bench/wait_suite.py, each run in a fresh interpreter importing the module
                 from this build, then from a baseline build of another commit (the build
                 directory in $KELPARINE_BASELINE_BUILD, or bench/run.py --baseline); ratios
                 are this build's rate over the baseline's, medians of the per-pair ratios
                 (three times the usual number of pairs in a full run).
                 Skipped when no baseline is given.

Standalone: PYTHONPATH=build python3 bench/presence_suite.py [--quick] [--baseline DIR].
"""

import json
import os
import queue
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

from common import Rings, fork_context, median, paired, percentile, two_cpus

PAUSE = (0.1, 0.3)       # seconds between the consumer's "waiting" and the kill
QUEUE_TIMEOUT = 1.0      # mp.Queue's get(timeout=...) after the kill
MESSAGES = 3             # taken from the producer before the wait
TRIAL_BOUND = 30.0       # seconds: a trial that ends nothing by then has failed
BENCH = Path(__file__).resolve().parent


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ------------------------------------------------------------------------------- dead producer

def _kill_trial(produce, consume, pause, label, forked=None):
    """Forks a producer running produce() and a consumer running consume(report), which takes
    the first messages, calls report("waiting"), waits and returns what it measured (a str
    says what went wrong). Once both are forked, forked() closes this process's copies of
    what only they may hold. SIGKILLs the producer `pause` seconds after "waiting"; returns
    (the kill's stamp, the consumer's result)."""
    ctx = fork_context()
    receiver, sender = ctx.Pipe(duplex=False)
    producer = ctx.Process(target=lambda: (sender.close(), produce()))  # only the consumer reports
    consumer = ctx.Process(target=lambda: sender.send(consume(sender.send)))
    try:
        producer.start()
        consumer.start()
        sender.close()
        if forked:
            forked()
        if _report(receiver, TRIAL_BOUND, label) != "waiting":
            raise RuntimeError(f"{label}: the consumer did not start waiting")
        time.sleep(pause)
        stamp = now_ns()
        os.kill(producer.pid, signal.SIGKILL)
        result = _report(receiver, TRIAL_BOUND + QUEUE_TIMEOUT, label)
        if isinstance(result, str):
            raise RuntimeError(f"{label}: {result}")
        return stamp, result
    finally:
        for process in (producer, consumer):
            process.join(5)
            if process.is_alive():
                process.kill()
                process.join()
        receiver.close()


def _report(receiver, bound, label):
    """The consumer's next report, or RuntimeError when none comes (the consumer failed)."""
    try:
        if receiver.poll(bound):
            return receiver.recv()
    except EOFError:
        pass
    raise RuntimeError(f"{label}: the consumer ended or hung without reporting")


def _stay():
    time.sleep(TRIAL_BOUND + 60)  # until killed


def ring_trial(pause):
    """ns from SIGKILL of the producer to EOFError in a consumer blocked in get()."""
    with Rings(1, 4096, stem="dead") as rings:
        def produce():
            ring = rings.open()
            for k in range(MESSAGES):
                ring.put(bytes([k]) * 64)
            _stay()

        def consume(report):
            ring = rings.open()
            for _ in range(MESSAGES):
                ring.get(timeout=TRIAL_BOUND)
            if ring.has_producer() is not True:
                return "the producer's role is not seen held"
            report("waiting")
            try:
                ring.get(timeout=TRIAL_BOUND)
            except EOFError:
                return now_ns()
            except TimeoutError:
                return f"get() waited {TRIAL_BOUND:.0f} s and timed out: no EOFError"
            return "get() returned a message"

        stamp, ended = _kill_trial(produce, consume, pause, "dead producer, ring")
        return ended - stamp


def pipe_trial(pause):
    """ns from SIGKILL of the writer to EOFError in a reader blocked in recv_bytes()."""
    reader, writer = fork_context().Pipe(duplex=False)

    def produce():
        reader.close()
        for k in range(MESSAGES):
            writer.send_bytes(bytes([k]) * 64)
        _stay()

    def consume(report):
        writer.close()  # else the reader's own copy keeps the pipe open
        for _ in range(MESSAGES):
            reader.recv_bytes()
        report("waiting")
        try:
            reader.recv_bytes()
        except EOFError:
            return now_ns()
        return "recv_bytes() returned a message"

    try:
        # This process's write end is closed once both sides are forked: the producer's is
        # then the last one.
        stamp, ended = _kill_trial(produce, consume, pause, "dead producer, mp.Pipe", forked=writer.close)
        return ended - stamp
    finally:
        reader.close()
        writer.close()


def queue_trial(pause):
    """(how the consumer's get(timeout=QUEUE_TIMEOUT) ended, seconds it waited): a killed
    producer leaves the queue's pipe open in every other process that has the queue."""
    q = fork_context().Queue()

    def produce():
        for k in range(MESSAGES):
            q.put(bytes([k]) * 64)
        _stay()

    def consume(report):
        for _ in range(MESSAGES):
            q.get(timeout=TRIAL_BOUND)
        report("waiting")
        start = time.perf_counter()
        try:
            q.get(timeout=QUEUE_TIMEOUT)
            outcome = "a message"
        except queue.Empty:
            outcome = "timed out"
        except Exception as error:  # noqa: BLE001  (what it raised is the finding)
            outcome = type(error).__name__
        return outcome, time.perf_counter() - start

    try:
        return _kill_trial(produce, consume, pause, "dead producer, mp.Queue")[1]
    finally:
        q.close()
        q.join_thread()


def latency_ms(runs):
    ordered = sorted(runs)
    return {"p50_ms": percentile(ordered, 0.5) / 1e6, "p99_ms": percentile(ordered, 0.99) / 1e6,
            "max_ms": ordered[-1] / 1e6, "runs_ns": runs}


def run_dead(settings, log):
    trials = 12 if settings.quick else 60
    queue_trials = 2 if settings.quick else 5
    rng = random.Random(1)
    ring, pipe, queued = [], [], []
    for i in range(trials):
        pause = rng.uniform(*PAUSE)
        ring.append(ring_trial(pause))
        pipe.append(pipe_trial(pause))
        if i % (trials // queue_trials) == 0 and len(queued) < queue_trials:
            queued.append(queue_trial(pause))
    log(f"presence: dead producer: {trials} ring and Pipe trials back to back, {len(queued)} Queue trials")
    outcomes = [outcome for outcome, _ in queued]
    return {
        "trials": trials, "pause_s": list(PAUSE), "messages_before": MESSAGES,
        "kelparine get()": latency_ms(ring),
        "mp.Pipe recv_bytes()": latency_ms(pipe),
        "ring_vs_pipe": paired(ring, pipe),
        "ring_minus_pipe_ms": median([(a - b) / 1e6 for a, b in zip(ring, pipe)]),
        "mp.Queue get(timeout)": {"timeout_s": QUEUE_TIMEOUT, "trials": len(queued),
                                  "timed_out": outcomes.count("timed out"), "outcomes": outcomes,
                                  "waited_s": median([waited for _, waited in queued])},
    }


# ------------------------------------------------------------------------------- before/after

KINDS = {"push/pop": "_rate_polling", "put/get": "_rate_blocking"}  # loops of bench/wait_suite.py


def rate_in(build, kind, n, cpus):
    """msg/s of one wait_suite run of `kind` in a fresh interpreter importing the module from
    the build directory `build`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(build), str(BENCH)]))
    command = [sys.executable, str(BENCH / "presence_suite.py"), "--rate", kind, str(n)]
    if cpus:
        command += ["--cpus", f"{cpus[0]},{cpus[1]}"]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"{kind} with {build}: {done.stderr.strip()[-500:]}")
    result = json.loads(done.stdout.splitlines()[-1])
    if Path(result["module"]).parent.resolve() != Path(build).resolve():
        raise RuntimeError(f"{kind}: imported {result['module']}, not the module of {build}")
    return result["msg_per_s"]


def commit_of(build):
    done = subprocess.run(["git", "-C", str(build), "describe", "--always", "--dirty"], capture_output=True,
                          text=True)
    return done.stdout.strip() or "unknown"


def run_before_after(settings, log, baseline):
    import kelparine
    import wait_suite

    ours = Path(kelparine.__file__).parent
    cpus = two_cpus() if settings.pin else None
    pilot = wait_suite._rate_polling(20000, cpus)
    n = int(max(20000, pilot * settings.ring_seconds))
    # Busy-polling pairs on a shared machine vary by tens of percent from run to run: a full
    # run makes three times the usual pairs, to find a difference of a few percent.
    pairs = settings.repeats if settings.quick else 3 * settings.repeats
    runs = {kind: {"ours": [], "baseline": []} for kind in KINDS}
    for _ in range(pairs):
        for kind in KINDS:
            runs[kind]["ours"].append(rate_in(ours, kind, n, cpus))
            runs[kind]["baseline"].append(rate_in(baseline, kind, n, cpus))
    log(f"presence: before/after: {pairs} x {2 * len(KINDS)} runs of {n} messages")
    return {
        "messages": n, "pairs": pairs, "pinned_cpus": list(cpus) if cpus else None,
        "ours": str(ours), "ours_commit": commit_of(ours),
        "baseline": str(baseline), "baseline_commit": commit_of(baseline),
        "kinds": {kind: {"ours": median(r["ours"]), "baseline": median(r["baseline"]),
                         "ratio": paired(r["ours"], r["baseline"]), "runs": r} for kind, r in runs.items()},
    }


# ------------------------------------------------------------------------------------------ run

def run(settings, log):
    results = {"dead": run_dead(settings, log)}
    baseline = os.environ.get("KELPARINE_BASELINE_BUILD")
    if baseline:
        results["before_after"] = run_before_after(settings, log, Path(baseline))
    else:
        log("presence: before/after skipped: no baseline build (--baseline DIR)")
        results["before_after"] = None
    return results


def _ratio_text(pair):
    return f"{pair['median']:.2f}x ({pair['min']:.2f}x-{pair['max']:.2f}x)"


def table(presence, lines):
    """Lines for bench/run.py's table."""
    from common import fmt_si

    dead = presence["dead"]
    lines.append(f"Dead peers: SIGKILL of a producer process to the end of a consumer process's blocked call "
                 f"(it had taken {dead['messages_before']} messages; killed {dead['pause_s'][0] * 1e3:.0f}-"
                 f"{dead['pause_s'][1] * 1e3:.0f} ms into the wait); {dead['trials']} trials, ring and Pipe back "
                 f"to back")
    for name in ("kelparine get()", "mp.Pipe recv_bytes()"):
        row = dead[name]
        lines.append(f"  {name + ' -> EOFError':<34} p50 {row['p50_ms']:>7.2f} ms   p99 {row['p99_ms']:>7.2f} ms"
                     f"   max {row['max_ms']:>7.2f} ms")
    q = dead["mp.Queue get(timeout)"]
    lines.append(f"  {'mp.Queue get(timeout=%g s)' % q['timeout_s']:<34} never: times out (queue.Empty in "
                 f"{q['timed_out']} of {q['trials']} trials, after {q['waited_s']:.2f} s)")
    lines.append(f"  per trial, ring - Pipe: median {dead['ring_minus_pipe_ms']:+.2f} ms; ring / Pipe: "
                 f"{_ratio_text(dead['ring_vs_pipe'])}")
    before_after = presence.get("before_after")
    if not before_after:
        lines.append("Dead peers: before/after throughput not measured (no baseline build: --baseline DIR)")
        return
    lines.append(f"Dead peers: 64 B throughput, two processes, this build ({before_after['ours_commit']}) against "
                 f"{before_after['baseline_commit']}, fresh interpreters alternately; median of "
                 f"{before_after['pairs']} paired ratios (range)")
    for kind, row in before_after["kinds"].items():
        lines.append(f"  {kind:<10} {fmt_si(row['ours']):>8} msg/s against {fmt_si(row['baseline']):>8} msg/s   "
                     f"{_ratio_text(row['ratio'])}")


def targets(presence):
    if not presence:
        return []
    p99 = presence["dead"]["kelparine get()"]["p99_ms"]
    rows = [("dead producer: get() -> EOFError p99 <= 50 ms", f"{p99:.1f} ms", p99 <= 50)]
    for kind, row in ((presence.get("before_after") or {}).get("kinds") or {}).items():
        ratio = row["ratio"]
        # Within noise: not every pair slower than the baseline.
        rows.append((f"{kind} 64 B / baseline: 1.0 within the pairs' range",
                     f"{ratio['median']:.2f}x", ratio["max"] >= 1.0))
    return rows


def _rate_main(kind, n, cpus):
    import kelparine
    import wait_suite

    rate = getattr(wait_suite, KINDS[kind])(n, cpus)
    print(json.dumps({"msg_per_s": rate, "module": kelparine.__file__}))


if __name__ == "__main__":
    import argparse

    from common import Settings

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-pin", action="store_true")
    parser.add_argument("--baseline", help="build directory of another commit for the before/after runs")
    parser.add_argument("--rate", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)  # one child run
    parser.add_argument("--cpus", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rate:
        _rate_main(args.rate[0], int(args.rate[1]), tuple(map(int, args.cpus.split(","))) if args.cpus else None)
        sys.exit(0)
    if args.baseline:
        os.environ["KELPARINE_BASELINE_BUILD"] = args.baseline
    settings = Settings.make(args.quick, pin=not args.no_pin)
    results = run(settings, lambda message: print(message, file=sys.stderr, flush=True))
    lines = []
    table(results, lines)
    lines += [f"  target {t}: {m} {'PASS' if p else 'MISS'}" for t, m, p in targets(results)]
    print("\n".join(lines))
