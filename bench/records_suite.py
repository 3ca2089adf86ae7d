"""Records in batches: 2 M (int, float, str) records, Python objects at both ends, from one
process to another in batches of 1,000:

  push_many/get_many   push_many(list of tuples) on an 8 MiB ring; get_many(1000,
                       schema=[("i64", 1), ("f64", 1), ("str", 1)]) decodes each batch in C
                       into a list of [int, float, str] lists. When the ring is full the
                       producer waits in put() for room for one record, then pushes the rest.
  mp.Pipe              send(list of 1,000 tuples) / recv(): pickled, as a user would
  pyzmq PUSH/PULL      send_pyobj / recv_pyobj of the same lists over ipc:// (if pyzmq is
                       installed: Debian's python3-zmq)

Each producer sends from a pool of ready batches built before its first send (every str a
distinct object, as parsed data would have), so the figures are those of moving records, not
of making them; the consumer counts what it receives, its clock started at the first batch.
Compared runs are made back to back in each repeat; the ratios are medians of the per-repeat
ratios.
"""

import tempfile
import time

from common import MiB, Rings, fork_context, median, paired, two_cpus, two_processes

RECORDS = 2_000_000
BATCH = 1000
POOL = 50  # batches made ahead by each producer
CAPACITY = 8 * MiB
SCHEMA = [("i64", 1), ("f64", 1), ("str", 1)]
OURS = "push_many/get_many(schema=...)"
PIPE = "mp.Pipe, pickled lists"
ZMQ = "pyzmq PUSH/PULL, send_pyobj"


def pool():
    return [[(i, i * 0.25, f"sym{i:06d}") for i in range(k * BATCH, (k + 1) * BATCH)] for k in range(POOL)]


def batches(n):
    ready = pool()
    return (ready[k % POOL] for k in range(n // BATCH))


def counted(receive, n):
    """Consumer loop: records per second after the first batch."""
    got = len(receive())
    first, counted_at = time.perf_counter(), got
    while got < n:
        got += len(receive())
    return (n - counted_at) / (time.perf_counter() - first)


def ring_run(n, cpus):
    with Rings(1, CAPACITY, stem="records") as rings:
        def produce():
            ring = rings.open()
            push_many, put = ring.push_many, ring.put
            for batch in batches(n):
                sent = push_many(batch)
                while sent < len(batch):
                    put(batch[sent])  # waits for room
                    sent += 1 + push_many(batch[sent + 1:])

        def consume():
            get_many = rings.open().get_many
            return counted(lambda: get_many(BATCH, schema=SCHEMA), n)

        return two_processes(produce, consume, cpus=cpus, label="records ring")


def pipe_run(n, cpus):
    reader, writer = fork_context().Pipe(duplex=False)

    def produce():
        for batch in batches(n):
            writer.send(batch)

    try:
        return two_processes(produce, lambda: counted(reader.recv, n), cpus=cpus, label="records Pipe")
    finally:
        reader.close()
        writer.close()


def zmq_run(n, cpus):
    import zmq

    with tempfile.TemporaryDirectory() as directory:
        address = f"ipc://{directory}/records"

        def produce():
            context = zmq.Context()
            push = context.socket(zmq.PUSH)
            push.connect(address)
            for batch in batches(n):
                push.send_pyobj(batch)
            push.close(linger=-1)  # everything delivered before the process ends
            context.term()

        def consume():
            context = zmq.Context()
            pull = context.socket(zmq.PULL)
            pull.bind(address)
            rate = counted(pull.recv_pyobj, n)
            pull.close()
            context.term()
            return rate

        return two_processes(produce, consume, cpus=cpus, label="records pyzmq")


def run(settings, log):
    cpus = two_cpus() if settings.pin else None
    plan = {OURS: ring_run, PIPE: pipe_run}
    try:
        import zmq  # noqa: F401

        plan[ZMQ] = zmq_run
    except ImportError:
        log("records: pyzmq is not installed; its runs are skipped")
    runs = {name: [] for name in plan}
    for _ in range(settings.repeats):
        for name, measure in plan.items():
            runs[name].append(measure(RECORDS, cpus))
    log(f"records: {settings.repeats} x {len(plan)} runs of {RECORDS} records")
    ours = runs[OURS]
    return {"records": RECORDS, "batch": BATCH, "schema": SCHEMA,
            "records_per_s": {name: median(r) for name, r in runs.items()},
            "ratios": {name: paired(ours, r) for name, r in runs.items() if r is not ours},
            "runs": runs, "pinned_cpus": list(cpus) if cpus else None}
