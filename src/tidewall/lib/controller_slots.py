"""A cap on the controller requests in flight across processes: M slot files, each taken with `flock`.

`tidewall fleet` runs one process per VPC against one controller. It makes a folder holding M empty files
(`slot-0` ... `slot-{M-1}`) and names it in the environment variable `SLOTS_ENV` of every process it
starts. Each controller request of such a process first takes one of those files with an exclusive
`flock` and lets go of it when the answer is in: at most M requests are in flight, whichever process
sends them. The kernel releases a lock when its holder dies, so a killed process never keeps a slot.

Without the variable (a single `tidewall execute`, the tests), `controller_slot()` does nothing.
"""

from __future__ import annotations

import contextlib
import fcntl
import logging
import os
import random
import time

logger = logging.getLogger("tidewall.lib.controller_slots")

SLOTS_ENV = "TIDEWALL_CONTROLLER_SLOTS"
SLOT_PREFIX = "slot-"

# Pause between two rounds over the slot files while all are taken (grows up to the second figure).
_FIRST_PAUSE = 0.005
_LONGEST_PAUSE = 0.1

_warned = set()  # folders already reported as unusable


def make_slots(folder, count):
    """Create `count` slot files in `folder` (an existing, private folder); returns the folder."""
    if count < 1:
        raise ValueError("at least one controller slot is needed")
    for i in range(count):
        fd = os.open(os.path.join(folder, f"{SLOT_PREFIX}{i}"), os.O_CREAT | os.O_WRONLY, 0o600)
        os.close(fd)
    return folder


def _slot_files(folder):
    try:
        names = sorted(n for n in os.listdir(folder) if n.startswith(SLOT_PREFIX))
    except OSError:
        return []
    return [os.path.join(folder, n) for n in names]


def _unusable(folder, why):
    if folder not in _warned:
        _warned.add(folder)
        logger.warning("Controller request limit %s=%s not applied: %s", SLOTS_ENV, folder, why)


def _take(folder):
    """The descriptor of a slot file this process now holds with an exclusive lock (None: no limit)."""
    paths = _slot_files(folder)
    if not paths:
        _unusable(folder, "no slot files there")
        return None
    pause = _FIRST_PAUSE
    while True:
        start = random.randrange(len(paths))  # spread the processes over the slots
        for path in paths[start:] + paths[:start]:
            try:
                fd = os.open(path, os.O_RDONLY)
            except OSError as e:
                _unusable(folder, f"{path}: {e.strerror or e}")
                return None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                continue
            except OSError as e:
                os.close(fd)
                _unusable(folder, f"{path}: {e.strerror or e}")
                return None
            return fd
        time.sleep(pause * random.uniform(0.5, 1.5))
        pause = min(pause * 2, _LONGEST_PAUSE)


@contextlib.contextmanager
def controller_slot():
    """Hold one controller slot for the block (nothing to hold when `SLOTS_ENV` is not set)."""
    folder = os.environ.get(SLOTS_ENV)
    fd = _take(folder) if folder else None
    try:
        yield
    finally:
        if fd is not None:
            with contextlib.suppress(OSError):
                fcntl.flock(fd, fcntl.LOCK_UN)
            os.close(fd)
