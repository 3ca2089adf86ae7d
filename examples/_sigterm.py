"""Shared by the examples: SIGTERM ends a program as Ctrl-C does."""

import signal
import sys


def exit_on_sigterm():
    """Makes SIGTERM end the program as Ctrl-C does: `finally` blocks run and remove the
    segments, where the default action would kill the process and leave them behind."""

    def on_sigterm(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second one must not cut the clean-up short
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, on_sigterm)
