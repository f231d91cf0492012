"""`tidewall fleet plan|execute|revert|status --fleet FILE`: one process per VPC, the live lines, the summary.

Exit status: 0 when every selected VPC ended done (`fleet revert`: reverted, or nothing to revert; `fleet
plan` and `fleet status`: read); 1 when one failed, was rolled back, was interrupted or was not started
(after `--stop-on-failure`); 2 for a fleet file or option that cannot be used (nothing was run); 3 when
none failed but one stayed skipped, its run lock held by another run for all of `--lock-wait`; 130 / 143
after Ctrl-C / SIGTERM (passed on to every running VPC, which releases its lock; run the fleet again to
resume).
"""

from __future__ import annotations

import contextlib
import datetime
import json
import logging
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass

from tidewall.core.exceptions import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_SKIPPED,
    EXIT_TERMINATED,
    UsageError,
)
from tidewall.fleet import child as children
from tidewall.fleet.child import DONE, REVERTED, SKIPPED, Child, command_line, write_config
from tidewall.fleet.fleetfile import load_fleet
from tidewall.fleet.scheduler import Scheduler, VpcTask
from tidewall.fleet.view import LiveView, count_results, render_summary, summary_json, summary_rows, word
from tidewall.lib.controller_slots import SLOTS_ENV, make_slots

logger = logging.getLogger("tidewall.fleet")

COMMANDS = ("plan", "execute", "revert", "status")

DEFAULT_PARALLEL = 4
DEFAULT_CONTROLLER_PARALLEL = 2
DEFAULT_LOCK_WAIT = 3600.0
DEFAULT_LOCK_POLL = 5.0
LOG_FOLDER = "fleet-logs"


@dataclass
class FleetOptions:
    parallel: int = DEFAULT_PARALLEL
    only: list | None = None
    wave_size: int | None = None
    stop_on_failure: bool = False
    output: str = "text"
    log_dir: str | None = None
    controller_parallel: int = DEFAULT_CONTROLLER_PARALLEL
    lock_wait: float = DEFAULT_LOCK_WAIT
    lock_poll: float = DEFAULT_LOCK_POLL
    tty: bool | None = None  # None: whether standard error is a terminal


def exit_status_of(command, tasks, interrupted=None):
    """The fleet's exit status from its VPCs' results (see the module docstring)."""
    if interrupted is not None:
        return EXIT_TERMINATED if interrupted == signal.SIGTERM else EXIT_INTERRUPTED
    ok = REVERTED if command == "revert" else DONE
    results = [t.state for t in tasks]
    if all(r == ok for r in results):
        return EXIT_OK
    if all(r in (ok, SKIPPED) for r in results):
        return EXIT_SKIPPED
    return EXIT_FAILED


def default_log_dir(entries, command):
    """`<backup_root>/fleet-logs/<UTC time>-<command>` of the first VPC's backup root."""
    root = entries[0].adaptor.backup_root
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y%m%dT%H%M%SZ")
    return os.path.join(root, LOG_FOLDER, f"{stamp}-{command}")


def _log_dir(options, entries, command):
    path = os.path.abspath(os.path.expanduser(options.log_dir or default_log_dir(entries, command)))
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
    except OSError as e:
        raise UsageError(f"--log-dir: cannot create {path}: {e.strerror or e}") from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise UsageError(f"--log-dir: {path} is not writable")
    return path


class _LockProbe:
    """Reads a waiting VPC's run lock from S3 (one AWS client per VPC, made when first needed)."""

    def __init__(self):
        self._clients = {}

    def __call__(self, task):
        from tidewall.lib.aws_cred import AwsClientManager
        from tidewall.lib.lock import read_lock_of

        ca = task.entry.adaptor
        s3 = self._clients.get(ca.vpc_id)
        if s3 is None:
            s3 = self._clients[ca.vpc_id] = AwsClientManager(ca).getS3Client()
        holder = read_lock_of(s3, ca.backup_descriptor)
        if holder is None:
            return None
        return holder.to_record()


@contextlib.contextmanager
def _signals_to(scheduler):
    """While the block runs, Ctrl-C and SIGTERM reach the scheduler (which passes them on)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for sig in (signal.SIGINT, signal.SIGTERM):
        previous[sig] = signal.signal(sig, lambda signum, frame: scheduler.interrupt(signum))
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def run_fleet(command, fleet_path, options=None, out=None, err=None, launch=None):
    """Run `command` over the fleet; prints the summary (or its JSON) to `out`; returns the exit status.

    Raises UsageError (FleetFileError) before anything runs for a fleet file or option that cannot be used.
    `launch` (task -> started handle) replaces the real processes in tests.
    """
    return fleet_run(command, fleet_path, options, out, err, launch)[0]


def fleet_run(command, fleet_path, options=None, out=None, err=None, launch=None):
    """`run_fleet`, returning (exit status, the summary's rows)."""
    if command not in COMMANDS:
        raise UsageError(f"fleet: unknown command {command!r}; expected one of {', '.join(COMMANDS)}")
    options = options or FleetOptions()
    out = out if out is not None else sys.stdout
    err = err if err is not None else sys.stderr
    if options.parallel < 1 or options.controller_parallel < 1:
        raise UsageError("--parallel and --controller-parallel must be at least 1")
    fleet = load_fleet(fleet_path, command)
    entries = fleet.select(options.only)
    log_dir = _log_dir(options, entries, command)
    private = tempfile.mkdtemp(prefix="tidewall-fleet-")  # 0700: the configurations may hold AWS keys
    started = time.monotonic()
    try:
        slots = os.path.join(private, "controller-slots")
        os.mkdir(slots, 0o700)
        make_slots(slots, options.controller_parallel)
        env = child_env(slots)
        tasks = [VpcTask(e, os.path.join(log_dir, f"{e.vpc_id}.log")) for e in entries]
        if launch is None:
            launch = _launcher(command, private, env)
        view = LiveView(tasks, err, tty=options.tty, title=f"tidewall fleet {command}: ")
        scheduler = Scheduler(
            tasks,
            launch,
            command,
            parallel=options.parallel,
            wave_size=options.wave_size,
            stop_on_failure=options.stop_on_failure,
            lock_wait=options.lock_wait if command in ("execute", "revert") else 0,
            lock_poll=options.lock_poll,
            probe_lock=_LockProbe(),
            on_change=view.changed,
            sleep=lambda seconds: (view.refresh(), time.sleep(seconds)),
        )
        logger.info(
            "Fleet %s of %s from %s: %d at once%s; logs in %s",
            command,
            "1 VPC" if len(tasks) == 1 else f"{len(tasks)} VPCs",
            fleet.path,
            options.parallel,
            f", waves of {options.wave_size}" if options.wave_size else "",
            log_dir,
        )
        if command in ("execute", "revert"):
            from tidewall.fleet.unlock import unlock_hint

            # Said up front: a fleet killed outright (SIGKILL) says nothing at its end.
            logger.info(
                "If this fleet is killed outright, its running VPCs go on to their end; run the fleet again to "
                "resume. Locks left by runs that were killed too: %s",
                unlock_hint(fleet.path),
            )
        with _signals_to(scheduler):
            try:
                scheduler.run()
            except BaseException:
                _stop_running(scheduler)
                raise
        view.close()
    finally:
        shutil.rmtree(private, ignore_errors=True)
    status = exit_status_of(command, tasks, scheduler.interrupted)
    rows = summary_rows(tasks)
    counts = count_results(tasks)
    if options.output == "json":
        settings = {
            "parallel": options.parallel,
            "wave_size": options.wave_size,
            "stop_on_failure": options.stop_on_failure,
            "controller_parallel": options.controller_parallel,
            "only": options.only,
            "log_dir": log_dir,
        }
        data = summary_json(command, fleet.path, rows, counts, status, settings, time.monotonic() - started)
        out.write(json.dumps(data, indent=2, default=str) + "\n")
    else:
        title = f"Fleet {command} of {fleet.path}: " + ", ".join(f"{n} {word(w)}" for w, n in counts.items())
        out.write(render_summary(rows, title, command) + "\n")
        out.write(f"\nExit status {status}: {_status_text(command, status)}\n")
        hint = _locked_hint(tasks, fleet.path)
        if hint:
            out.write(hint + "\n")
    out.flush()
    return status, rows


def _stop_running(scheduler, grace=60.0):
    """The fleet itself failed: its running VPCs are stopped as by SIGTERM (each releases its lock)."""
    running = [t for t in scheduler.tasks if t.state == "running" and t.handle is not None]
    for task in running:
        task.handle.send(signal.SIGTERM)
    deadline = time.monotonic() + grace
    while running and time.monotonic() < deadline:
        running = [t for t in running if not t.handle.poll()]
        time.sleep(0.1)


def child_env(slots):
    """The environment of a VPC's process: this one's, the controller slots, and this very `tidewall` first
    on the module path (a checkout run with PYTHONPATH runs its own code in the children too)."""
    import tidewall

    env = dict(os.environ, **{SLOTS_ENV: slots})
    here = os.path.dirname(os.path.dirname(os.path.abspath(tidewall.__file__)))
    if os.path.basename(here) in ("site-packages", "dist-packages"):
        return env  # installed: the interpreter finds it (and site-packages must not come before the stdlib)
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in paths if os.path.abspath(p) != here])
    return env


def _locked_hint(tasks, fleet_path):
    """How to go on when VPCs stayed locked: stale locks (a fleet or run killed outright) are removed with
    `tidewall fleet unlock`; other holders may still be running."""
    from tidewall.fleet.unlock import unlock_hint

    stale = [t.vpc_id for t in tasks if t.outcome is not None and t.outcome.stale]
    locked = [
        t.vpc_id for t in tasks if t.state == SKIPPED or (t.outcome and "LOCKED" in (t.outcome.detail or ""))
    ]
    if stale:
        return (
            f"{len(stale)} VPC{'' if len(stale) == 1 else 's'} stayed locked by a run that no longer runs (a "
            f"killed fleet or run): remove those locks with `{unlock_hint(fleet_path)}`, then run the fleet again"
        )
    if locked:
        return (
            f"{len(locked)} VPC{'' if len(locked) == 1 else 's'} locked by another run: once it has ended, run "
            f"the fleet again; if it was killed, `{unlock_hint(fleet_path)} --lock-id ID` removes its lock"
        )
    return None


def _status_text(command, status):
    ok = "reverted (or had nothing to revert)" if command == "revert" else "done"
    return {
        EXIT_OK: f"every VPC {ok}",
        EXIT_FAILED: "a VPC failed, was rolled back, interrupted or not started (see its log file)",
        EXIT_SKIPPED: "no VPC failed, but a VPC stayed locked by another run; run the fleet again later",
        EXIT_INTERRUPTED: "interrupted; run the fleet again to resume",
        EXIT_TERMINATED: "terminated; run the fleet again to resume",
    }.get(status, "")


def _launcher(command, private, env):
    """task -> a started Child running the command line for the task's VPC."""

    def launch(task):
        entry = task.entry
        config_path = os.path.join(private, f"{entry.vpc_id}.yaml")
        if not os.path.exists(config_path):
            write_config(private, entry.vpc_id, entry.config)
        handle = Child(
            command_line(command, config_path, task.log_path), private, entry.vpc_id, task.log_path, env
        )

        def finished(outcome):
            if outcome.result == children.FAILED and task.data is None:
                handle.keep_stderr()  # a run without a result: its error output is the record
            handle.remove_files()

        handle.finished = finished
        return handle.start()

    return launch
