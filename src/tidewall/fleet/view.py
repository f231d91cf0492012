"""What a fleet run shows: one line per VPC while it runs, the summary table and its JSON at the end.

On a terminal the lines are redrawn in place (when there are more VPCs than the terminal has lines, the
running and waiting ones and the counts); elsewhere (a file, a pipe, CI) each change is one plain line.
Texts from the VPCs' runs are shown with their control characters escaped.
"""

from __future__ import annotations

import shutil
import time

from tidewall.core.redact import clean
from tidewall.fleet.child import (
    DONE,
    FAILED,
    INTERRUPTED,
    NOT_STARTED,
    RESULTS,
    REVERTED,
    ROLLED_BACK,
    SKIPPED,
)
from tidewall.fleet.scheduler import QUEUED, RUNNING, WAITING

_WORDS = {
    DONE: "done",
    REVERTED: "reverted",
    ROLLED_BACK: "rolled back",
    FAILED: "failed",
    SKIPPED: "skipped",
    INTERRUPTED: "interrupted",
    NOT_STARTED: "not started",
}


def _vpcs(count):
    return "1 VPC" if count == 1 else f"{count} VPCs"


def word(result):
    """A result word as people read it (`rolled back` for `rolled_back`)."""
    return _WORDS.get(result, result)


def _one_line(text):
    return clean(" ".join(str(text).split()))


def state_text(task):
    """`running: Deploy HS Spoke`, `done: migration already complete`, `skipped: locked by ...`."""
    if task.state == QUEUED:
        return "queued"
    if task.state == RUNNING:
        step = f": {_one_line(task.step)}" if task.step else ""
        again = f" (run {task.attempts})" if task.attempts > 1 else ""
        return f"running{again}{step}"
    outcome = task.outcome
    reason = f": {_one_line(outcome.reason)}" if outcome and outcome.reason else ""
    if task.state == WAITING:
        return f"waiting{reason}; run again once it is released"
    detail = f" ({_one_line(outcome.detail)})" if outcome and outcome.detail else ""
    return f"{_WORDS.get(task.state, task.state)}{detail}{reason}"


def _vpc_column(tasks):
    return max([len(t.vpc_id) for t in tasks] + [3])


class LiveView:
    """The lines of a running fleet, written to `stream` (standard error)."""

    def __init__(self, tasks, stream, tty=None, title=""):
        self.tasks = tasks
        self.stream = stream
        self.tty = stream.isatty() if tty is None else tty
        self.title = title
        self._drawn = 0  # lines drawn last time (terminal)
        self._last = {}  # vpc -> text shown last (plain lines)
        self._dirty = False
        self._width = _vpc_column(tasks)

    def line(self, task):
        return f"{task.vpc_id:<{self._width}}  {state_text(task)}"

    def changed(self, task):
        if self.tty:
            self._dirty = True
            return
        text = state_text(task)
        if self._last.get(task.vpc_id) == text:
            return
        self._last[task.vpc_id] = text
        stamp = time.strftime("%H:%M:%S")
        self.stream.write(f"{stamp} {self.line(task)}\n")
        self.stream.flush()

    def counts(self):
        counted = {}
        for task in self.tasks:
            counted[task.state] = counted.get(task.state, 0) + 1
        order = [QUEUED, RUNNING, WAITING, *RESULTS]
        return ", ".join(f"{counted[s]} {_WORDS.get(s, s)}" for s in order if s in counted)

    def refresh(self):
        """Redraw the lines in place (terminal only, and only after a change)."""
        if not self.tty or not self._dirty:
            return
        self._dirty = False
        size = shutil.get_terminal_size((100, 40))
        lines = [f"{self.title}{_vpcs(len(self.tasks))}: {self.counts()}"]
        shown = self.tasks
        if len(self.tasks) + 1 > size.lines - 1:
            shown = [t for t in self.tasks if t.state in (RUNNING, WAITING)][: max(size.lines - 2, 1)]
        lines += [self.line(t) for t in shown]
        lines = [text[: size.columns - 1] for text in lines]
        out = []
        if self._drawn:
            out.append(f"\x1b[{self._drawn}F")  # to the first line drawn last time
        for text in lines:
            out.append("\x1b[2K" + text + "\n")
        for _ in range(self._drawn - len(lines)):
            out.append("\x1b[2K\n")  # lines left over from a longer drawing
        extra = max(self._drawn - len(lines), 0)
        if extra:
            out.append(f"\x1b[{extra}F")
        self._drawn = len(lines)
        self.stream.write("".join(out))
        self.stream.flush()

    def close(self):
        self._dirty = True
        self.refresh()


# -------------------------------------------------------------------------------------------- summary


def _duration(seconds):
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


def summary_rows(tasks):
    """One dict per VPC: what the summary table and its JSON show."""
    rows = []
    for task in tasks:
        outcome = task.outcome
        rows.append(
            {
                "vpc_id": task.vpc_id,
                "account": task.entry.account,
                "region": task.entry.region,
                "result": task.state,
                "reason": outcome.reason if outcome else None,
                "detail": outcome.detail if outcome else None,
                "natgws_replaced": outcome.natgws_replaced if outcome else None,
                "natgws_to_replace": outcome.natgws_to_replace if outcome else None,
                "notes": outcome.notes if outcome else None,
                "duration_s": round(task.duration_s, 1),
                "log_file": task.log_path,
                "runs": task.attempts,
                "wave": task.wave,
                "exit_status": task.exit_status,
                "peak_rss_mib": round(task.peak_rss_kib / 1024, 1) if task.peak_rss_kib else None,
                "cpu_s": round(task.cpu_s, 2) if task.cpu_s is not None else None,
                "lock": outcome.lock if outcome else None,
                "outcome": task.data,
            }
        )
    return rows


def count_results(tasks):
    counted = {}
    for task in tasks:
        counted[task.state] = counted.get(task.state, 0) + 1
    return counted


# What the NAT-gateway column counts, per command: after execute and in status the NAT gateways replaced
# now; after revert those still replaced; in a plan those the plan still replaces.
_NATGW_COLUMNS = {
    "plan": ("NATGWS TO REPLACE", "natgws_to_replace"),
    "revert": ("NATGWS STILL REPLACED", "natgws_replaced"),
}


def render_summary(rows, title, command="execute"):
    """The summary table, then one note per VPC whose result has a reason (and a plan's warnings)."""
    column, key = _NATGW_COLUMNS.get(command, ("NATGWS REPLACED", "natgws_replaced"))
    headers = ("VPC", "ACCOUNT", "REGION", "RESULT", column, "DURATION", "LOG FILE")
    table = []
    for row in rows:
        word = _WORDS.get(row["result"], row["result"])
        if row["detail"]:
            word += f" ({_one_line(row['detail'])})"
        count = row.get(key)
        table.append(
            (
                row["vpc_id"],
                clean(row["account"]),
                row["region"],
                word,
                "-" if count is None else str(count),
                _duration(row["duration_s"]),
                row["log_file"],
            )
        )
    widths = [max(len(h), *(len(r[i]) for r in table)) for i, h in enumerate(headers)]
    out = [title, ""]
    fmt = "  ".join(f"{{:<{w}}}" for w in widths[:-1]) + "  {}"
    out.append(fmt.format(*headers).rstrip())
    for r in table:
        out.append(fmt.format(*r).rstrip())
    notes = [(row["vpc_id"], row["reason"]) for row in rows if row["reason"]]
    notes += [(row["vpc_id"], note) for row in rows for note in row.get("notes") or ()]
    if notes:
        out.append("")
        for vpc, reason in notes:
            out.append(f"  {vpc}: {_one_line(reason)}")
    return "\n".join(out)


def summary_json(command, fleet_path, rows, counts, exit_status, settings, duration_s):
    from tidewall.fleet.child import memory_high_water

    peak = memory_high_water()
    return {
        "command": f"fleet {command}",
        "fleet": fleet_path,
        "exit_status": exit_status,
        "counts": counts,
        "duration_s": round(duration_s, 1),
        "fleet_peak_rss_mib": round(peak / 1024, 1) if peak is not None else None,
        "settings": settings,
        "vpcs": rows,
    }
