"""Shared by the examples: ending cleanly, on SIGTERM as on Ctrl-C, and noticing a child that failed."""

import signal
import sys


def exit_on_sigterm():
    """Makes SIGTERM end the program as Ctrl-C does: `finally` blocks run and remove the
    segments, where the default action would kill the process and leave them behind."""

    def on_sigterm(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second one must not cut the clean-up short
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, on_sigterm)


def stop_and_remove(processes, names):
    """The end of every example: child processes still running are stopped, and the segments
    removed (whichever of them exist: a run may stop before it made them all)."""
    import kelparine

    for process in processes:
        if process is not None and process.is_alive():
            process.terminate()
            process.join()
    for name in names:
        try:
            kelparine.SharedMemory.remove(name)
        except FileNotFoundError:
            pass


def join_or_fail(processes, timeout):
    """Waits up to `timeout` seconds for each child to end; one that failed, or is still running
    (exit code None), ends the program with a message that names it."""
    for process in processes:
        process.join(timeout)
        if process.exitcode != 0:
            raise SystemExit(f"{process.name} failed with exit code {process.exitcode}")
