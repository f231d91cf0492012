"""Which VPC of a fleet runs when.

- At most `parallel` VPCs run at once.
- With `wave_size` K, at most K VPCs are started per wave, and the next wave starts only when every VPC of
  the previous one has ended.
- A VPC that fails or is rolled back does not hold up the others; with `stop_on_failure` no VPC starts
  after it (those running finish) and the ones left are "not started".
- A VPC whose run lock another run holds is skipped for now. Once nothing else is left to start, it is
  looked at again every `lock_poll` seconds (`probe_lock` reads the lock; without one it is simply run
  again) and run as soon as the lock is gone, which, after the other run finished it, finds nothing left
  to do. A lock held for longer than `lock_wait` seconds, or one left by a process of this machine that no
  longer exists, leaves the VPC skipped.
- `interrupt(sig)` (Ctrl-C, SIGTERM) passes the signal on to every running VPC and starts nothing more.

Time and processes come in from outside (`launch`, `clock`, `sleep`), so the rules are tested with
stand-in children.
"""

from __future__ import annotations

import contextlib
import socket
import time
from dataclasses import dataclass, field

from tidewall.fleet.child import (
    FAILED,
    INTERRUPTED,
    NOT_STARTED,
    ROLLED_BACK,
    SKIPPED,
    Outcome,
    outcome_of,
)
from tidewall.lib import lock as lock_module

QUEUED = "queued"
RUNNING = "running"
WAITING = "waiting"  # skipped for now: another run holds the lock; run again once it is released

# Outcomes that stop a fleet run with --stop-on-failure.
FAILURES = (FAILED, ROLLED_BACK, INTERRUPTED)


@dataclass
class VpcTask:
    """One VPC of the run: where it stands, what its runs did."""

    entry: object  # FleetEntry
    log_path: str
    state: str = QUEUED
    step: str | None = None  # the running process's current step
    outcome: Outcome | None = None
    data: dict | None = None  # the JSON object of its last run
    exit_status: int | None = None
    attempts: int = 0
    wave: int | None = None
    duration_s: float = 0.0  # summed over its runs
    peak_rss_kib: int | None = None
    cpu_s: float | None = None  # summed over its runs
    lock: dict | None = None  # the holder while it waits for a lock
    lock_since: float | None = None
    next_probe: float = 0.0
    handle: object = field(default=None, repr=False)
    _started: float | None = field(default=None, repr=False)

    @property
    def vpc_id(self):
        return self.entry.vpc_id

    @property
    def result(self):
        """The result word once the VPC is settled (None while queued, running or waiting)."""
        return self.outcome.result if self.state not in (QUEUED, RUNNING, WAITING) and self.outcome else None


def lock_is_stale(lock):
    """Whether a lock was left by a process of this machine that no longer runs (a killed run)."""
    if not isinstance(lock, dict) or lock.get("host") != socket.gethostname():
        return False
    pid = lock.get("pid")
    return isinstance(pid, int) and pid > 0 and lock_module._process_started(pid) is None


class Scheduler:
    def __init__(
        self,
        tasks,
        launch,
        command,
        *,
        parallel=4,
        wave_size=None,
        stop_on_failure=False,
        lock_wait=3600.0,
        lock_poll=5.0,
        probe_lock=None,
        on_change=None,
        poll_interval=0.2,
        clock=time.monotonic,
        sleep=time.sleep,
        is_stale=lock_is_stale,
    ):
        if parallel < 1:
            raise ValueError("parallel must be at least 1")
        if wave_size is not None and wave_size < 1:
            raise ValueError("wave_size must be at least 1")
        self.tasks = list(tasks)
        self.launch = launch  # task -> handle (started): poll(), step(), send(sig), output(), returncode
        self.command = command
        self.parallel = parallel
        self.wave_size = wave_size
        self.stop_on_failure = stop_on_failure
        self.lock_wait = lock_wait
        self.lock_poll = lock_poll
        self.probe_lock = probe_lock  # task -> holder dict, or None when free
        self.on_change = on_change or (lambda task: None)
        self.poll_interval = poll_interval
        self.clock = clock
        self.sleep = sleep
        self.is_stale = is_stale
        self.stopping = False  # a failure with stop_on_failure: nothing new starts
        self.interrupted = None  # the signal that interrupted the run
        self._signals = []  # signals still to pass on to the running VPCs
        self.wave = 0
        self._wave_started = 0

    # ------------------------------------------------------------------------------------------ control

    def interrupt(self, sig):
        """Ctrl-C or SIGTERM: pass it on to the running VPCs, start nothing more (safe in a signal handler)."""
        if self.interrupted is None:
            self.interrupted = sig
        self._signals.append(sig)

    @property
    def running(self):
        return [t for t in self.tasks if t.state == RUNNING]

    def _changed(self, task):
        self.on_change(task)

    # --------------------------------------------------------------------------------------------- loop

    def run(self):
        """Run every task to its end; returns the tasks."""
        while True:
            while self._signals:
                sig = self._signals.pop(0)
                for task in self.running:
                    task.handle.send(sig)
            self._reap()
            self._follow_steps()
            halted = self.stopping or self.interrupted is not None
            if not halted:
                self._probe_waiting()
                self._start_what_may()
            if not self.running and (halted or not self._pending()):
                break
            self.sleep(self.poll_interval)
        self._settle_leftovers()
        return self.tasks

    def _pending(self):
        return any(t.state in (QUEUED, WAITING) for t in self.tasks)

    def _may_start(self):
        if len(self.running) >= self.parallel:
            return False
        if self.wave_size is None:
            return True
        if self._wave_started >= self.wave_size:
            if self.running:
                return False
            self._wave_started = 0  # the previous wave is done: the next one begins
        return True

    def _start_what_may(self):
        for task in self.tasks:
            if task.state != QUEUED:
                continue
            if not self._may_start():
                return
            if self.wave_size is not None and self._wave_started == 0:
                self.wave += 1
            self._wave_started += 1
            self._start(task)

    def _start(self, task):
        task.attempts += 1
        task.wave = self.wave if self.wave_size is not None else None
        task.step = None
        task.state = RUNNING
        task._started = self.clock()
        try:
            task.handle = self.launch(task)
        except Exception as e:  # the process could not even be started
            task.handle = None
            self._settle(task, Outcome(FAILED, f"could not start: {type(e).__name__}: {e}"))
            return
        self._changed(task)

    def _follow_steps(self):
        for task in self.running:
            step = task.handle.step()
            if step != task.step:
                task.step = step
                self._changed(task)

    def _reap(self):
        for task in self.running:
            handle = task.handle
            if not handle.poll():
                continue
            task.duration_s += self.clock() - task._started
            rss = getattr(handle, "peak_rss_kib", None)
            if rss is not None:
                task.peak_rss_kib = max(task.peak_rss_kib or 0, rss)
            cpu = getattr(handle, "cpu_s", None)
            if cpu is not None:
                task.cpu_s = (task.cpu_s or 0.0) + cpu
            data, last_error = handle.output()
            task.data, task.exit_status = data, handle.returncode
            outcome = outcome_of(self.command, handle.returncode, data, last_error)
            finished = getattr(handle, "finished", None)
            if finished is not None:
                finished(outcome)
            if outcome.result == SKIPPED and outcome.lock is not None:
                self._locked(task, outcome)
            else:
                self._settle(task, outcome)

    def _settle(self, task, outcome):
        task.outcome = outcome
        task.state = outcome.result
        task.lock = outcome.lock
        self._changed(task)
        if self.stop_on_failure and outcome.result in FAILURES:
            self.stopping = True

    # -------------------------------------------------------------------------------------------- locks

    def _locked(self, task, outcome):
        now = self.clock()
        lock = outcome.lock
        if self.is_stale(lock):
            outcome.reason = (
                f"{outcome.reason} (that process no longer runs: a stale lock, lock id {lock.get('lock_id')}; "
                "`tidewall fleet unlock` removes it)"
            )
            outcome.stale = True
            self._settle(task, outcome)
            return
        if task.lock_since is None:
            task.lock_since = now
        if self.lock_wait <= 0 or now - task.lock_since >= self.lock_wait:
            self._settle(task, outcome)
            return
        task.outcome = outcome
        task.lock = lock
        task.state = WAITING
        task.next_probe = now + self.lock_poll
        self._changed(task)

    def _probe_waiting(self):
        """Once nothing else is queued: run again each waiting VPC whose lock is gone."""
        if any(t.state == QUEUED for t in self.tasks):
            return
        now = self.clock()
        for task in self.tasks:
            if task.state != WAITING or now < task.next_probe:
                continue
            holder = None
            if self.probe_lock is not None:
                with contextlib.suppress(Exception):  # unreadable: the run itself will tell
                    holder = self.probe_lock(task)
            if holder is None:
                task.state = QUEUED
                self._changed(task)
                continue
            task.lock = holder
            if task.outcome is not None:
                task.outcome.lock = holder
                task.outcome.reason = f"locked by {holder.get('held_by', 'another run')}"
            if now - task.lock_since >= self.lock_wait:
                task.outcome.reason += f" (still after {self.lock_wait:g} s)"
                self._settle(task, task.outcome)
            else:
                task.next_probe = now + self.lock_poll
                self._changed(task)

    def _settle_leftovers(self):
        """After a stop or an interrupt: what never started, and what still waited for a lock."""
        for task in self.tasks:
            if task.state == QUEUED:
                why = (
                    "interrupted before it started" if self.interrupted is not None else "stopped on failure"
                )
                self._settle(task, Outcome(NOT_STARTED, why))
            elif task.state == WAITING:
                self._settle(task, task.outcome)
