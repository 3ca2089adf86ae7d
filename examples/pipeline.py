"""A three-stage pipeline of typed records through two SPSC rings.

    generate --ring /...-raw--> enrich --ring /...-enriched--> collect (this process)

`generate` produces readings (sequence number, sensor id, raw value); `enrich` converts each
reading to a calibrated value, flags out-of-range ones and names the sensor; `collect` checks
the order and the arithmetic and prints a summary. Each ring has exactly one producer and one
consumer, as the ring requires. A record with sequence number -1 ends the stream.

Every stage polls: push() returns False when the next ring is full, pop_mixed() returns None
when the previous one is empty. Waiting spins briefly and then sleeps a little, so stages that
have nothing to do leave the CPU to the others.

    PYTHONPATH=build /usr/bin/python3 examples/pipeline.py [--records N] [--capacity BYTES]
"""

import argparse
import multiprocessing as mp
import os
import sys
import time

import kelparine

RAW = [("i64", 1), ("i64", 1), ("f64", 1)]  # seq, sensor, raw value
ENRICHED = [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]  # seq, calibrated value, alarm, sensor name
END = -1
SENSORS = 4
STALL_SECONDS = 20.0  # a stage that sees no progress for this long gives up


class Stalled(RuntimeError):
    pass


class Backoff:
    """Spin for a short while, then sleep in growing steps (up to 1 ms)."""

    def __init__(self):
        self.idle_since = None
        self.attempts = 0

    def wait(self):
        now = time.monotonic()
        if self.idle_since is None:
            self.idle_since = now
        elif now - self.idle_since > STALL_SECONDS:
            raise Stalled("no progress: is the other stage still running?")
        self.attempts += 1
        if self.attempts > 64:
            time.sleep(min(0.001, 0.00001 * (self.attempts - 64)))

    def reset(self):
        self.idle_since = None
        self.attempts = 0


def push(ring, record, backoff):
    while not ring.push(record):  # full: the consumer is behind
        backoff.wait()
    backoff.reset()


def pop(ring, schema, backoff):
    while (record := ring.pop_mixed(schema)) is None:  # empty: the producer is behind
        backoff.wait()
    backoff.reset()
    return record


def calibrate(sensor, raw):
    return raw * (1.0 + sensor / 10.0) - 0.5


def generate(raw_name, records):
    raw = kelparine.SharedMemory.open(raw_name).spsc()
    backoff = Backoff()
    for seq in range(records):
        push(raw, [seq, seq % SENSORS, (seq % 100) / 4.0], backoff)
    push(raw, [END, 0, 0.0], backoff)


def enrich(raw_name, enriched_name):
    raw = kelparine.SharedMemory.open(raw_name).spsc()
    enriched = kelparine.SharedMemory.open(enriched_name).spsc()
    backoff = Backoff()
    while True:
        seq, sensor, value = pop(raw, RAW, backoff)
        if seq == END:
            push(enriched, [END, 0.0, False, ""], backoff)
            return
        calibrated = calibrate(sensor, value)
        push(enriched, [seq, calibrated, calibrated > 30.0, f"sensor-{sensor}"], backoff)


def collect(enriched, records):
    backoff = Backoff()
    expected, alarms, total = 0, 0, 0.0
    while True:
        seq, value, alarm, name = pop(enriched, ENRICHED, backoff)
        if seq == END:
            break
        sensor = seq % SENSORS
        assert seq == expected, f"record {seq} arrived, {expected} was next"
        assert value == calibrate(sensor, (seq % 100) / 4.0) and name == f"sensor-{sensor}", (seq, value, name)
        assert alarm == (value > 30.0)
        expected += 1
        alarms += alarm
        total += value
    assert expected == records, f"{expected} of {records} records arrived"
    return alarms, total


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--capacity", type=int, default=16 * 1024, help="data bytes per ring (a power of two)")
    args = parser.parse_args(argv)

    stem = f"/kelparine-pipeline-{os.getpid()}"
    raw_name, enriched_name = f"{stem}-raw", f"{stem}-enriched"
    # The creator's spsc() writes the empty ring header; the stages open the rings afterwards.
    kelparine.SharedMemory.create(raw_name, 24 + args.capacity).spsc()
    enriched = kelparine.SharedMemory.create(enriched_name, 24 + args.capacity).spsc()
    ctx = mp.get_context("spawn")  # the stages find the rings by name, nothing is inherited
    stages = [
        ctx.Process(target=generate, args=(raw_name, args.records), name="generate"),
        ctx.Process(target=enrich, args=(raw_name, enriched_name), name="enrich"),
    ]
    try:
        start = time.perf_counter()
        for stage in stages:
            stage.start()
        alarms, total = collect(enriched, args.records)
        elapsed = time.perf_counter() - start
        for stage in stages:
            stage.join(timeout=STALL_SECONDS)
            if stage.exitcode != 0:
                raise SystemExit(f"stage {stage.name} failed with exit code {stage.exitcode}")
        print(f"{args.records} records through 2 rings of {args.capacity} bytes in {elapsed:.2f}s "
              f"({args.records / elapsed:,.0f} records/s)")
        print(f"alarms: {alarms}, mean calibrated value: {total / max(args.records, 1):.3f}")
    finally:
        for stage in stages:
            if stage.is_alive():
                stage.terminate()
        kelparine.SharedMemory.remove(raw_name)
        kelparine.SharedMemory.remove(enriched_name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
