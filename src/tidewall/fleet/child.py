"""One VPC's run in its own process: `python -m tidewall COMMAND --config FILE --output json --log-file LOG`.

The VPC's configuration (which may carry AWS keys from the fleet file) is written to a file of its own in
the fleet's private folder (0700, removed at the end of the fleet run). The child's standard output (its
one JSON object) and standard error go to files in that folder too, so a large object never blocks on a
pipe. Its current step is the last step line ("- ...") of its log file, read as the file grows. When it
ends, `outcome_of` turns its exit status and JSON object into the fleet's words.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

import yaml

# The fleet's words for how a VPC's run ended.
DONE = "done"
REVERTED = "reverted"
ROLLED_BACK = "rolled_back"
FAILED = "failed"
SKIPPED = "skipped"
INTERRUPTED = "interrupted"
NOT_STARTED = "not_started"
RESULTS = (DONE, REVERTED, ROLLED_BACK, FAILED, SKIPPED, INTERRUPTED, NOT_STARTED)

# A top-level step line of the log file: `time level [logger] - text`.
_STEP_LINE = re.compile(r"^\S+ \S+ +(?:INFO|WARNING) +\[[^\]]*\] (- .*)$")


def write_config(folder, name, config):
    """Write a VPC's configuration to FOLDER/NAME.yaml, readable by its owner only; returns the path."""
    path = os.path.join(folder, f"{name}.yaml")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write("# Written by `tidewall fleet` for one VPC; removed when the fleet run ends.\n")
        yaml.safe_dump(config, f, sort_keys=False)
    return path


class LogTail:
    """The last step line of a growing log file, read incrementally."""

    def __init__(self, path):
        self.path = path
        self._offset = 0
        self._partial = b""
        self.step = None

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read()
        except OSError:
            return self.step
        if not data:
            return self.step
        self._offset += len(data)
        lines = (self._partial + data).split(b"\n")
        self._partial = lines.pop()
        for raw in reversed(lines):
            match = _STEP_LINE.match(raw.decode("utf-8", "replace").rstrip("\r"))
            if match:
                self.step = match.group(1)[2:].strip()
                break
        return self.step


class Child:
    """A running `tidewall` process for one VPC."""

    def __init__(self, argv, folder, name, log_path, env=None):
        self.argv = list(argv)
        self.name = name
        self.log_path = log_path
        self.out_path = os.path.join(folder, f"{name}.out")
        self.err_path = os.path.join(folder, f"{name}.err")
        self.env = env
        self.proc = None
        self.returncode = None
        self.peak_rss_kib = None
        self.cpu_s = None
        self.started = None
        self.ended = None
        self._tail = LogTail(log_path)

    def start(self):
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                self.argv,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=err,
                env=self.env,
                start_new_session=True,  # Ctrl-C reaches the fleet, which passes it on
            )
        self.started = time.monotonic()
        return self

    def poll(self):
        """True once the process has ended (its exit status and peak memory are then known)."""
        if self.returncode is not None:
            return True
        self._sample_memory()
        try:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
        except ChildProcessError:
            pid, status, usage = self.proc.pid, 0, None
        if pid == 0:
            return False
        code = os.waitstatus_to_exitcode(status)
        self.returncode = 128 - code if code < 0 else code  # killed by a signal: 128 + its number
        self.proc.returncode = self.returncode  # reaped here; Popen must not wait for it again
        if self.peak_rss_kib is None and usage is not None:
            self.peak_rss_kib = usage.ru_maxrss  # where there is no /proc: an upper bound, in KiB
        self.cpu_s = usage.ru_utime + usage.ru_stime if usage is not None else None
        self.ended = time.monotonic()
        return True

    def step(self):
        self._sample_memory()
        return self._tail.read()

    def _sample_memory(self):
        """The process's peak resident memory so far, from the kernel's high-water mark of its own address
        space (its rusage would also count the memory of the fleet process it was forked from)."""
        if self.returncode is not None or self.proc is None:
            return
        peak = memory_high_water(self.proc.pid)
        if peak is not None:
            self.peak_rss_kib = max(self.peak_rss_kib or 0, peak)

    def send(self, sig):
        if self.proc is not None and self.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.proc.pid, sig)

    def output(self):
        """(the JSON object the process printed, or None; its last line on standard error, or None)."""
        data = None
        with contextlib.suppress(OSError, ValueError):
            with open(self.out_path, encoding="utf-8") as f:
                text = f.read().strip()
            if text:
                data = json.loads(text)
        last = None
        with contextlib.suppress(OSError):
            with open(self.err_path, encoding="utf-8", errors="replace") as f:
                lines = [line.strip() for line in f.read().splitlines() if line.strip()]
            last = lines[-1] if lines else None
        return (data if isinstance(data, dict) else None), last

    def keep_stderr(self):
        """Append what the process wrote to standard error to its log file (for a run without a result)."""
        with contextlib.suppress(OSError):
            with open(self.err_path, "rb") as src:
                text = src.read()
            if text:
                with open(self.log_path, "ab") as dst:
                    dst.write(b"--- standard error of the process ---\n" + text)

    def remove_files(self):
        for path in (self.out_path, self.err_path):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def memory_high_water(pid="self"):
    """Peak resident memory (KiB) of a process's address space since it started its program (`VmHWM`),
    or None where /proc does not say."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


def command_line(command, config_path, log_path, verbose=0):
    yes = ["--yes"] if command in ("execute", "revert") else []  # no one is there to answer the question
    return (
        [
            sys.executable,
            "-m",
            "tidewall",
            command,
            "--config",
            config_path,
            "--output",
            "json",
            "--log-file",
            log_path,
        ]
        + yes
        + ["-v"] * int(verbose or 0)
    )


@dataclass
class Outcome:
    """How one run of a VPC ended, in the fleet's words."""

    result: str
    reason: str | None = None
    natgws_replaced: int | None = None
    lock: dict | None = None  # the holder, for a VPC skipped because another run holds its lock
    detail: str | None = None  # plan and status: what the VPC's object says in a few words
    natgws_to_replace: int | None = None  # plan: NAT gateways that still have steps to do
    stale: bool = False  # skipped: its lock was left by a process of this machine that no longer runs
    notes: list | None = None  # plan: its warnings and the stretches without egress, one text each


def _count(items):
    return len(items) if isinstance(items, list) else None


def outcome_of(command, exit_status, data, last_error_line):
    """The Outcome of a VPC's run of `command`, from its exit status and its JSON object (or None)."""
    if data is None:
        if exit_status in (130, 143):
            return Outcome(INTERRUPTED, "interrupted" if exit_status == 130 else "terminated")
        why = f"exit status {exit_status} without a result"
        return Outcome(
            FAILED, f"{why}: {last_error_line}" if last_error_line else f"{why} (see the log file)"
        )
    if command == "plan":
        return _plan_outcome(data)
    if command == "status":
        total = data.get("steps_total")
        done = _count(data.get("steps_done"))
        detail = (
            "complete"
            if data.get("complete")
            else (f"{done} of {total} steps done" if total else "not started")
        )
        lock = data.get("lock")
        if isinstance(lock, dict):
            detail += (
                f"; LOCKED by {lock.get('holder') or lock.get('held_by')}, lock id {lock.get('lock_id')}"
            )
        replaced = sum(
            1 for n in data.get("natgws") or [] if isinstance(n, dict) and n.get("replaced_by_journal")
        )
        return Outcome(DONE, None, replaced, detail=detail)

    result, reason = data.get("result"), data.get("reason")
    # A refused run read no journal: its empty list says nothing of what is replaced.
    replaced = None if result == "refused" else _count(data.get("natgws_replaced"))
    error = data.get("error") if isinstance(data.get("error"), dict) else {}
    if result in ("done", "nothing_to_do"):
        return Outcome(REVERTED if command == "revert" else DONE, reason, replaced)
    if result == "rolled_back":
        return Outcome(ROLLED_BACK, reason, replaced)
    if result == "refused" and error.get("kind") == "lock_held":
        lock = error.get("lock") or {}
        return Outcome(SKIPPED, f"locked by {lock.get('held_by', 'another run')}", replaced, lock=lock)
    if result == "interrupted":
        return Outcome(INTERRUPTED, reason, replaced)
    return Outcome(FAILED, reason or f"{result}, exit status {exit_status}", replaced)


def _plan_outcome(data):
    """A VPC's plan in the fleet's words: steps to do, stretches without egress and warnings in the detail;
    NAT gateways already replaced (as `status` counts them) and those still to replace."""
    total, done = data.get("steps_total"), data.get("steps_in_effect")
    natgws = [n for n in data.get("natgws") or [] if isinstance(n, dict) and n.get("replaced")]
    gaps = [g for g in data.get("gaps") or [] if isinstance(g, dict)]
    notes = [str(n) for n in data.get("notes") or []]
    if data.get("complete"):
        parts = ["complete"]
    elif isinstance(total, int) and isinstance(done, int):
        parts = [f"{total - done} of {total} steps to do"]
    else:
        parts = []
    if gaps:
        parts.append(f"{len(gaps)} stretches without egress" if len(gaps) > 1 else "1 stretch without egress")
    if notes:
        parts.append(f"{len(notes)} warning" + ("s" if len(notes) > 1 else ""))
    texts = [f"NOTE: {n}" for n in notes] + [_gap_text(g) for g in gaps]
    return Outcome(
        DONE,
        None,
        sum(1 for n in natgws if not n.get("steps")),
        detail=", ".join(parts) or None,
        natgws_to_replace=sum(1 for n in natgws if n.get("steps")),
        notes=texts or None,
    )


def _gap_text(gap):
    """`rtb-1 without egress from after A3 of NAT gateway 0 until A4 of NAT gateway 0`"""

    def at(where):
        if not isinstance(where, dict):
            return str(where)
        natgw = where.get("natgw")
        return f"{where.get('code')} of " + ("the run" if natgw is None else f"NAT gateway {natgw}")

    start = "now" if gap.get("from") == "now" else f"after {at(gap.get('from'))}"
    end = f"until {at(gap['until'])}" if gap.get("until") else "to the end of the plan"
    return f"{gap.get('route_table_id')} without egress from {start} {end}"


def signal_name(sig):
    return signal.Signals(sig).name
