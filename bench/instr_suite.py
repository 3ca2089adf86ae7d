"""Instructions per call of the hot paths, counted by valgrind's callgrind (exact, unlike
timings on a busy machine; `perf stat -e instructions` has no hardware counters in most
virtual machines). instr_probe.py runs N calls of each operation in phases that callgrind
dumps separately; an operation's figure is (its phase - the empty loop's phase) / N: the
instructions of the call itself, including the interpreter's work to make it, without the
loop around it.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from common import BUILD_DIR, RESULTS, ROOT

_SUMMARY = re.compile(rb"^summary:\s+(\d+)", re.MULTILINE)
_FUNCTION_LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$")
BREAKDOWN_TOP = 6


def short_name(entry):
    """'???:kelparine::(anonymous namespace)::read(_object*, ...) [/path/kelparine...so]' -> 'read';
    an unnamed function of a stripped binary becomes 'python3.11@0x53f700'."""
    match = re.match(r"^(.*?):(.*?)(?:\s+\[([^\]]*)\])?$", entry)
    name, binary = (match.group(2), match.group(3) or "") if match else (entry, "")
    if re.fullmatch(r"0x[0-9a-f]+", name):
        return f"{os.path.basename(binary)}@{hex(int(name, 16))}"
    name = name.replace("(anonymous namespace)::", "").replace("kelparine::", "").replace("_object*", "")
    depth, cut = 0, len(name)
    for i in range(len(name) - 1, -1, -1):  # drop the parameter list: the last balanced (...)
        if name[i] == ")":
            depth += 1
        elif name[i] == "(":
            depth -= 1
            if depth == 0:
                cut = i
                break
    name = name[:cut]
    name = re.sub(r"^(?:\S+\s)+(?=\S*<)", "", name)  # a leading return type of a template
    name = re.sub(r"<[^<>]*&(?:py::)?(\w+)>", r"<\1>", name)  # fastcall_entry<g_type, &read> -> <read>
    name = re.sub(r"py::guarded<py::fastcall_entry<(\w+)>.*", r"py::guarded<\1>", name)  # its lambda
    return name.strip()


def self_costs(dump):
    """{function: instructions spent in it (self cost)} for one callgrind dump."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(dump)],
                          capture_output=True, text=True, check=True).stdout
    costs, total = {}, None
    for line in text.splitlines():
        match = _FUNCTION_LINE.match(line)
        if not match:
            continue
        count, entry = int(match.group(1).replace(",", "")), match.group(2)
        if entry == "PROGRAM TOTALS":
            total = count
        elif count != total:  # frames live at the dump are listed with the whole total: not self cost
            name = short_name(entry)
            costs[name] = costs.get(name, 0) + count
    return costs


def run(settings, log):
    if shutil.which("valgrind") is None:
        log("instructions: skipped (valgrind is not installed)")
        return None
    out_dir = RESULTS / "callgrind"
    shutil.rmtree(out_dir, ignore_errors=True)
    out_dir.mkdir(parents=True)
    calls = settings.instr_calls
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD_DIR), str(ROOT / "bench")]))
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--dump-before=getppid", f"--callgrind-out-file={out_dir}/callgrind.out",
         sys.executable, str(ROOT / "bench" / "instr_probe.py"), str(calls)],
        capture_output=True, env=env, timeout=600)
    if done.returncode != 0:
        log(f"instructions: callgrind run failed: {done.stderr.decode(errors='replace')[-2000:]}")
        return None
    phases = done.stdout.decode().split("\n")[:-1]
    # callgrind.out.1 covers start-up; dump k + 2 is the k-th phase.
    counts = []
    for k in range(len(phases)):
        text = Path(out_dir / f"callgrind.out.{k + 2}").read_bytes()
        counts.append(int(_SUMMARY.search(text).group(1)))
    empty = counts[0]
    per_call = {name: (count - empty) / calls for name, count in zip(phases[1:], counts[1:])}
    breakdown = {}
    if shutil.which("callgrind_annotate"):
        baseline = self_costs(out_dir / "callgrind.out.2")
        for k, name in enumerate(phases[1:], start=3):
            if not name.startswith("kelparine"):
                continue
            costs = self_costs(out_dir / f"callgrind.out.{k}")
            net = {fn: (count - baseline.get(fn, 0)) / calls for fn, count in costs.items()}
            top = sorted(net.items(), key=lambda item: -item[1])[:BREAKDOWN_TOP]
            breakdown[name] = {fn: round(cost, 1) for fn, cost in top if cost >= 1}
    log(f"instructions: {len(per_call)} operations counted over {calls} calls each")
    return {"calls": calls, "empty_loop_per_iteration": empty / calls, "per_call": per_call,
            "breakdown": breakdown, "dumps": str(out_dir.relative_to(ROOT))}
