"""A three-stage pipeline of typed records through two SPSC rings.

    generate --ring /...-raw--> enrich --ring /...-enriched--> collect (this process)

`generate` produces readings (sequence number, sensor id, raw value); `enrich` converts each
reading to a calibrated value, flags out-of-range ones and names the sensor; `collect` checks
the order and the arithmetic and prints a summary. Each ring has exactly one producer and one
consumer, as the ring requires. A record with sequence number -1 ends the stream.

Every stage blocks: put() waits while the next ring is full, get_mixed() while the previous
one is empty. A waiting stage sleeps without using a processor and is woken by its
neighbour's call within microseconds, so there is no polling loop and no back-off to tune.
The timeout turns a neighbour that died into a TimeoutError instead of a hang.

    PYTHONPATH=build /usr/bin/python3 examples/pipeline.py [--records N] [--capacity BYTES]
"""

import argparse
import multiprocessing as mp
import os
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

RAW = [("i64", 1), ("i64", 1), ("f64", 1)]  # seq, sensor, raw value
ENRICHED = [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]  # seq, calibrated value, alarm, sensor name
END = -1
SENSORS = 4
STALL_SECONDS = 20.0  # a stage that sees no progress for this long gives up


def calibrate(sensor, raw):
    return raw * (1.0 + sensor / 10.0) - 0.5


def generate(raw_name, records):
    raw = kelparine.SpscRingBuffer.open(raw_name)
    for seq in range(records):
        raw.put([seq, seq % SENSORS, (seq % 100) / 4.0], timeout=STALL_SECONDS)
    raw.put([END, 0, 0.0], timeout=STALL_SECONDS)


def enrich(raw_name, enriched_name):
    raw = kelparine.SpscRingBuffer.open(raw_name)
    enriched = kelparine.SpscRingBuffer.open(enriched_name)
    while True:
        seq, sensor, value = raw.get_mixed(RAW, timeout=STALL_SECONDS)
        if seq == END:
            enriched.put([END, 0.0, False, ""], timeout=STALL_SECONDS)
            return
        calibrated = calibrate(sensor, value)
        enriched.put([seq, calibrated, calibrated > 30.0, f"sensor-{sensor}"], timeout=STALL_SECONDS)


def collect(enriched, records):
    expected, alarms, total = 0, 0, 0.0
    while True:
        seq, value, alarm, name = enriched.get_mixed(ENRICHED, timeout=STALL_SECONDS)
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
    exit_on_sigterm()

    stem = f"/kelparine-pipeline-{os.getpid()}"
    raw_name, enriched_name = f"{stem}-raw", f"{stem}-enriched"
    stages = []
    try:
        # create() writes the empty ring header; the stages open the rings afterwards.
        kelparine.SpscRingBuffer.create(raw_name, args.capacity)
        enriched = kelparine.SpscRingBuffer.create(enriched_name, args.capacity)
        ctx = mp.get_context("spawn")  # the stages find the rings by name, nothing is inherited
        stages = [
            ctx.Process(target=generate, args=(raw_name, args.records), name="generate"),
            ctx.Process(target=enrich, args=(raw_name, enriched_name), name="enrich"),
        ]
        start = time.perf_counter()
        for stage in stages:
            stage.start()
        alarms, total = collect(enriched, args.records)
        elapsed = time.perf_counter() - start
        join_or_fail(stages, STALL_SECONDS)
        print(f"{args.records} records through 2 rings of {args.capacity} bytes in {elapsed:.2f}s "
              f"({args.records / elapsed:,.0f} records/s)")
        print(f"alarms: {alarms}, mean calibrated value: {total / max(args.records, 1):.3f}")
    finally:
        stop_and_remove(stages, [raw_name, enriched_name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
