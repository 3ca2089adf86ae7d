"""Streaming video frames between two processes: 1920x1080 RGB, uint8, built and read in place.

A "camera" process writes each frame straight into the ring with reserve(), and this process
looks at each one in place with borrow(): no frame is ever copied by the transport. The camera
copies one of a few prepared images into the loan (as a capture driver would) and stamps the
frame number into the first pixels; the viewer checks the number, computes the frame's mean
brightness on a sub-sample, and prints frames/s and GB/s at the end. With --check, the viewer
reads every byte of every frame and compares its sum with the image's.

    PYTHONPATH=build /usr/bin/python3 examples/frames.py [--frames N] [--width W] [--height H] [--in-flight N] [--check]
"""

import argparse
import multiprocessing as mp
import os
import sys
import time

try:
    import numpy as np
except ImportError:
    np = None

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

TIMEOUT = 30.0  # seconds to wait for the other process before giving up
IMAGES = 4  # distinct prepared images the camera cycles through


def prepared_images(height, width):
    """A few test images: gradients that differ per image (the same in both processes)."""
    y = np.arange(height, dtype=np.uint32)[:, None]
    x = np.arange(width, dtype=np.uint32)[None, :]
    images = []
    for k in range(IMAGES):
        image = np.empty((height, width, 3), np.uint8)
        image[..., 0] = (x + 40 * k) & 0xFF
        image[..., 1] = (y + 60 * k) & 0xFF
        image[..., 2] = (x + y + 80 * k) & 0xFF
        images.append(image)
    return images


def stamp(frame, number):
    """The frame number in the first 8 bytes (the top-left pixels), little-endian."""
    frame.reshape(-1)[:8] = np.frombuffer(number.to_bytes(8, "little"), np.uint8)


def camera(name, frames, height, width):
    ring = kelparine.SpscRingBuffer.open(name)
    images = prepared_images(height, width)
    nbytes = height * width * 3
    for number in range(frames):
        with ring.reserve(nbytes, timeout=TIMEOUT) as buf:
            frame = np.frombuffer(buf, np.uint8).reshape(height, width, 3)
            np.copyto(frame, images[number % IMAGES])
            stamp(frame, number)
            del frame  # no view of buf may outlive the block


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument("--in-flight", type=int, default=4, help="frames the ring holds at least")
    parser.add_argument("--check", action="store_true", help="read every byte of every frame and check its sum")
    args = parser.parse_args(argv)
    if np is None:
        print("frames.py needs NumPy (Debian: apt-get install python3-numpy)", file=sys.stderr)
        return 2
    exit_on_sigterm()

    nbytes = args.height * args.width * 3
    capacity = 1 << (args.in_flight * (nbytes + 4) - 1).bit_length()  # a power of two
    name = f"/kelparine-frames-{os.getpid()}"
    child = None
    try:
        ring = kelparine.SpscRingBuffer.create(name, capacity)
        images = prepared_images(args.height, args.width)
        # A frame's sum is its image's, with the first 8 bytes replaced by the stamp's.
        base_sums = [int(image.sum(dtype=np.uint64)) - int(image.reshape(-1)[:8].sum()) for image in images]
        child = mp.get_context("spawn").Process(target=camera, args=(name, args.frames, args.height, args.width),
                                                name="camera")
        child.start()
        brightness = 0.0
        start = None
        for number in range(args.frames):
            with ring.borrow(timeout=TIMEOUT) as buf:
                if start is None:
                    start = time.perf_counter()  # from the first frame: the camera's start-up is not counted
                frame = np.frombuffer(buf, np.uint8).reshape(args.height, args.width, 3)
                got = int.from_bytes(frame.reshape(-1)[:8].tobytes(), "little")
                brightness += float(frame[::16, ::16].mean())
                if args.check:
                    expected = base_sums[number % IMAGES] + sum(number.to_bytes(8, "little"))
                    assert int(frame.sum(dtype=np.uint64)) == expected, f"frame {number}: wrong pixels"
                del frame  # no view of buf may outlive the block
            assert got == number, f"frame {got} arrived, {number} was next"
        elapsed = time.perf_counter() - start
        join_or_fail([child], TIMEOUT)
        shown = max(args.frames - 1, 1)  # frames after the first, over the time since the first
        print(f"{args.frames} frames of {args.width}x{args.height}x3 uint8 ({nbytes / 1e6:.1f} MB each) "
              f"through a ring of {capacity:,} bytes, in order"
              + (", every byte checked" if args.check else ""))
        print(f"{shown / elapsed:,.1f} frames/s, {shown * nbytes / elapsed / 1e9:.2f} GB/s; "
              f"mean brightness {brightness / args.frames:.1f}")
    finally:
        stop_and_remove([child], [name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
