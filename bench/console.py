"""The harness's own console, kept apart from zelk's debug output.

zelk's encoder writes a debug line straight to file descriptor 1 on every
call. The harness points descriptor 1 at /dev/null for the rest of the
process and prints through a duplicate of the original descriptor instead.
It never points descriptor 1 back, so whatever the native library buffers
is flushed into /dev/null too, even at exit. The write of that line to
/dev/null stays part of every timed zelk encode.
"""
import os
import sys


def divert_native_stdout():
    """Sends descriptor 1 to /dev/null; sys.stdout keeps the real console."""
    sys.stdout.flush()
    console_fd = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    sys.stdout = os.fdopen(console_fd, "w", buffering=1)
