"""`tidewall status`: what the journal of a VPC says, per NAT gateway, and what the next run will do.

The backup folder is downloaded into a temporary folder (never the run's own local backup folder) with
the run switched to dry-run mode, so reading it changes nothing: no upload, no journal write, no local file
of a run touched. The memento journal is a stack whose slots line up with the steps of the migration in
the fixed order that `tidewall.commands.journal_layout` declares.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from tidewall.commands import journal_layout
from tidewall.runner import MIN_NAT_GATEWAYS


def expected_steps(natgws, enable_test, hs_mode, spoke_gw_size):
    """The slots of a complete migration, in journal order."""
    return journal_layout.layout(natgws, enable_test, hs_mode, spoke_gw_size)


@dataclass
class StatusReport:
    vpc_id: str
    where: str
    discovered: bool
    natgws: list = field(default_factory=list)
    recorded_settings: dict | None = None
    settings: dict = field(default_factory=dict)  # the settings the slots are mapped with
    settings_diffs: list = field(default_factory=list)  # current configuration vs the first run
    entries: list = field(default_factory=list)  # (class name, begin, state)
    steps: list = field(default_factory=list)
    mismatches: list = field(default_factory=list)
    hs_mode_skipped: list = field(default_factory=list)
    progress: dict | None = None  # an undo started and not finished (rollback or revert)
    intent: tuple | None = None  # (class name, state) of a change recorded as about to be made
    lock: object = None  # the LockInfo of a run holding the VPC's lock, or None

    @property
    def poisoned(self):
        """A first run that recorded too few NAT gateways to migrate and made no step (nothing to undo)."""
        return (
            self.discovered
            and len(self.natgws) < MIN_NAT_GATEWAYS
            and not self.entries
            and self.progress is None
            and self.intent is None
        )

    @property
    def undoing(self):
        """Journal slots whose steps an unfinished rollback or revert still has to undo."""
        if self.progress is None:
            return range(0)
        if self.progress["kind"] == "revert":
            return range(len(self.entries))
        return range(self.progress["group_start"], len(self.entries))

    @property
    def done(self):
        """Slots whose steps are in effect and stay so (not to be undone)."""
        return min(len(self.entries) - len(self.undoing), len(self.steps))

    @property
    def complete(self):
        return (
            self.discovered
            and not self.poisoned
            and not self.mismatches
            and self.progress is None
            and self.intent is None
            and len(self.entries) >= len(self.steps)
        )

    def open_group(self):
        """(first slot, last slot, slots done) of the last begin mark's group while the run is unfinished."""
        if self.complete:
            return None
        begins = [i for i, (_c, begin, _s) in enumerate(self.entries) if begin]
        if not begins:
            return None
        start = begins[-1]
        end = len(self.entries) - 1
        for a, b in journal_layout.groups(self.steps):
            if a == start:
                end = b
        return start, end, len(self.entries) - start


def read_status(ca, s3_client=None):
    """Download the journal of `ca`'s VPC into a temporary folder and map it onto the migration's steps."""
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.lock import read_lock_of
    from tidewall.logs import demoted
    from tidewall.runner import read_journal

    if s3_client is None:
        s3_client = AwsClientManager(ca).getS3Client()
    with demoted("tidewall.lib.s3", "tidewall.commands.history"):
        view = read_journal(ca, s3_client)
    report = report_from_view(ca, view)
    report.lock = read_lock_of(s3_client, ca.backup_descriptor)
    return report


def report_from_view(ca, view):
    """The StatusReport of a journal read by `runner.read_journal` or `runner.read_local_journal`."""
    from tidewall.runner import current_run_settings, settings_mismatch

    recorded = view.recorded_settings
    current = current_run_settings(ca)
    settings = dict(current)
    if recorded:
        settings.update({k: recorded[k] for k in current if k in recorded})
    report = StatusReport(ca.vpc_id, view.where, view.discovered, list(view.natgws), recorded, settings)
    report.entries = list(view.entries)
    report.progress, report.intent = view.undo_in_progress, view.intent
    if recorded:
        report.settings_diffs = settings_mismatch(recorded, current)
    if view.discovered:
        hs_mode = settings["hs_mode"]
        report.steps = expected_steps(report.natgws, bool(settings["enable_test"]), hs_mode, ca.spoke_gw_size)
        report.hs_mode_skipped = [
            i for i in range(len(report.natgws)) if not journal_layout.replaced(i, hs_mode)
        ]
    report.mismatches = journal_layout.mismatches(report.steps, report.entries)
    return report


def _yes(value):
    return "true" if value else "false"


def _config_hint(ca):
    source = getattr(ca, "source", None)
    return source if isinstance(source, str) else "FILE"


def _next_run(report, ca=None):
    """Lines saying what the next `execute` will do."""
    if report.lock is not None:
        return [f"refused while the VPC is locked by {report.lock.describe()}"]
    if not report.discovered:
        return [
            "first run: discover the NAT gateways and their sizes, back up all route tables, then replace "
            f"every NAT gateway; `tidewall plan --config {_config_hint(ca)}` lists each step with its "
            "resources and where each private subnet's traffic leaves meanwhile",
        ]
    if report.settings_diffs:
        return ["refused: " + "; ".join(report.settings_diffs)]
    if report.poisoned:
        return [
            f"refused: the recorded discovery holds {len(report.natgws)} NAT gateway(s), at least "
            f"{MIN_NAT_GATEWAYS} are needed; run `tidewall reset --config {_config_hint(ca)}`, then execute"
        ]
    if len(report.natgws) < MIN_NAT_GATEWAYS:
        return ["stops at once: the recorded discovery holds fewer than two NAT gateways"]
    if report.progress is not None and report.progress["kind"] == "revert":
        return [
            f"refused: a revert was started and not finished ({len(report.entries)} step(s) still to undo); "
            "run 'tidewall revert' to finish it"
        ]
    lines = []
    if report.intent is not None:
        lines.append(
            f"first checks whether the change in progress ({_short(report.intent[0])}) was made: kept as "
            f"journal slot {len(report.entries)} if so, dropped if not"
        )
    if report.undoing:
        undo = [report.steps[i] for i in reversed(report.undoing) if i < len(report.steps)]
        what = (
            "rolls back the group whose acceptance test has not passed"
            if report.progress["kind"] == "test"
            else "finishes the interrupted rollback"
        )
        lines.append(
            f"first {what}: undo journal slots {report.undoing.start}-"
            f"{report.undoing.stop - 1}, newest first ("
            + ", ".join(f"{s.code} of {s.where}" for s in undo)
            + "), then goes on as below"
        )
    if report.mismatches:
        lines.append(
            "WARNING: the journal does not line up with the steps, so a resumed run would skip the wrong "
            "steps; revert instead"
        )
    pending = report.steps[report.done :]
    if not pending:
        return lines + ["nothing left to do: migration already complete (every step is recorded)"]
    by_natgw = {}
    for step in pending:
        by_natgw.setdefault(step.natgw, []).append(step)
    test = bool(report.settings["enable_test"])
    for natgw, steps in by_natgw.items():
        what = ", ".join(f"{s.code} {s.label}" for s in steps)
        if natgw is None:
            lines.append(f"the run: {what}")
            continue
        spoke_made = any(s.step.makes_spoke for s in steps)
        if test and spoke_made:
            what += ", then the acceptance test of the new spoke"
        lines.append(f"NAT gateway {natgw}: {what}")
    lines.append("then upload the backup folder")
    return lines


def render_status(report, ca=None, live=None):
    out = [f"Journal of {report.vpc_id} in {report.where}"]
    if report.lock is not None:
        lock = report.lock
        out.append(
            f"  LOCKED by {lock.describe()}, lock id {lock.lock_id}: execute, revert and reset are refused "
            "until that run ends. If it is no longer running, remove the stale lock with: "
            f"tidewall unlock --config {_config_hint(ca)} --lock-id {lock.lock_id}"
        )
    if not report.discovered:
        out.append("  No migration recorded yet (NAT-gateway discovery not done).")
        if report.entries:
            out.append(
                f"  WARNING: the memento journal holds {len(report.entries)} entries without a discovery"
            )
        out.append("Next execute:")
        out.extend("  " + line for line in _next_run(report, ca))
        return "\n".join(out)

    s = report.settings
    origin = (
        "recorded by the first run"
        if report.recorded_settings
        else "not recorded; taken from the configuration"
    )
    out.append(f"  Run settings: enable_test {_yes(s['enable_test'])}, hs_mode {s['hs_mode']} ({origin})")
    for diff in report.settings_diffs:
        out.append(f"  CONFIG DIFFERS: {diff}")
    if report.poisoned:
        out.append(
            f"  UNUSABLE JOURNAL: a first run recorded a discovery of {len(report.natgws)} NAT gateway(s) and "
            f"made no step; execute refuses it. Delete it with `tidewall reset --config {_config_hint(ca)}`"
        )
    out.append(
        f"  {len(report.natgws)} NAT gateway(s) discovered; journal holds {len(report.entries)} of "
        f"{len(report.steps)} steps"
    )

    entries = report.entries
    test_steps = [(slot, st) for slot, st in enumerate(report.steps) if st.natgw is None]
    for slot, step in test_steps:
        state = "to undo" if slot in report.undoing else "done" if slot < len(entries) else "pending"
        out.append(f"  Run-wide: {step.code} {step.label}: {state}")

    for i, record in enumerate(report.natgws):
        # The primary starts at its initial size (it carries all traffic during the handover) and is
        # resized at the end; HA spokes are created at their target size.
        sizes = record.get("size")
        if i == 0 and record.get("size") != record.get("initial_size"):
            sizes = f"{record.get('initial_size')} -> {record.get('size')}"
        role = "primary" if i == 0 else "HA"
        out.append(
            f"  NAT gateway {i}: {record.get('nat_gw_id')}  subnet {record.get('subnet_id')} "
            f"({record.get('subnet_cidr')})  EIP {record.get('eip')}  {role} spoke size {sizes}"
        )
        if i in report.hs_mode_skipped:
            out.append("      not replaced (hs_mode 1 replaces NAT gateways 0 and 1 only)")
            continue
        done, undo, pending, done_codes = [], [], [], []
        for slot, step in enumerate(report.steps):
            if step.natgw != i:
                continue
            if slot in report.undoing:
                undo.append(f"{step.code} {step.label}")
            elif slot < len(entries):
                done.append(f"{step.code} {step.label}")
                done_codes.append(step.code)
            else:
                pending.append(f"{step.code} {step.label}")
        if done:
            out.append("      done:    " + "; ".join(done))
        if undo:
            out.append("      to undo: " + "; ".join(undo))
        if pending:
            out.append("      pending: " + "; ".join(pending))
        if any(journal_layout.STEPS[code].makes_spoke for code in done_codes):
            out.append("      replaced: its spoke was created")

    group = report.open_group()
    progress = report.progress
    if report.intent is not None:
        slot = len(entries)
        step = report.steps[slot] if slot < len(report.steps) else None
        what = f"{step.code} of {step.where} ({step.label})" if step else f"slot {slot}"
        out.append(
            f"Change in progress: {what}, its undo ({_short(report.intent[0])}) recorded before the change; "
            "the next execute or revert checks whether it was made"
        )
    if progress is not None and progress["kind"] == "revert":
        out.append(
            f"Revert in progress (started {progress.get('started_at', '?')}): {len(entries)} step(s) still "
            "to undo; execute refuses until 'tidewall revert' finishes it"
        )
    elif progress is not None and progress["kind"] == "test":
        start = progress["group_start"]
        first = report.steps[start] if start < len(report.steps) else None
        name = first.where if first is not None else f"slot {start}"
        out.append(
            f"Acceptance test not passed (started {progress.get('started_at', '?')}): the group of {name}, "
            f"journal slots {start}-{len(entries) - 1}; the next execute rolls it back and does it again, "
            "revert undoes it too"
        )
    elif progress is not None:
        start = progress["group_start"]
        first = report.steps[start] if start < len(report.steps) else None
        name = first.where if first is not None else f"slot {start}"
        out.append(
            f"Rollback in progress (started {progress.get('started_at', '?')}): the group of {name}, journal "
            f"slots {start}-{len(entries) - 1} still to undo; the next execute finishes it first, revert "
            "undoes it too"
        )
    elif report.complete:
        out.append("Open group: none (migration complete)")
    elif group is None:
        out.append("Open group: none")
    else:
        start, end, done = group
        first = report.steps[start] if start < len(report.steps) else None
        name = f"NAT gateway {first.natgw}" if first is not None else f"slot {start}"
        size = end - start + 1
        state = "all steps done" if done >= size else f"{done} of {size} steps done"
        out.append(
            f"Open group: {name} (journal slots {start}-{end}, {state}); a rollback now would undo "
            f"slots {start}-{len(entries) - 1}"
        )
    if report.mismatches:
        out.append("Journal problems:")
        out.extend("  " + m for m in report.mismatches)
    if live is not None:
        out.append(render_live(report, live))
    out.append("Next execute:")
    out.extend("  " + line for line in _next_run(report, ca))
    return "\n".join(out)


def _short(class_name):
    return class_name.rsplit(".", 1)[-1]


# ------------------------------------------------------------------------------------- as things are now

CONTROLLER_TIMEOUT = 30  # seconds, for status's read-only look at the controller


@dataclass
class LiveState:
    """NAT gateways and spokes as they are now, beside what the journal recorded."""

    aws: str = "ok"  # "ok" or "unreachable: ..."
    controller: str = "ok"  # "ok", "unreachable: ..." or "not looked up: ..."
    natgws: dict = field(default_factory=dict)  # record index -> [{"nat_gw_id", "state", "eip"}]
    spokes: list = field(default_factory=list)  # the controller's gateways of the VPC
    left_alone: list = field(default_factory=list)

    def spoke_for(self, record):
        """The controller gateway holding the record's EIP or sitting in its subnet, or None."""
        for spoke in self.spokes:
            if record.get("eip") and spoke.get("public_ip") == record.get("eip"):
                return spoke
        for spoke in self.spokes:
            if record.get("subnet_cidr") and spoke.get("subnet_cidr") == record.get("subnet_cidr"):
                return spoke
        return None


def _one_line(error):
    """The error in plain words, one line (the HTTP libraries' texts are for -v and the log file)."""
    from tidewall.core.exceptions import plain_error

    return " ".join(str(plain_error(error)[0]).split())[:300]


def read_live(ca, report, clients=None):
    """Look the recorded NAT gateways' subnets and the controller's spokes up now (read-only)."""
    import os

    import requests

    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.controller_slots import controller_slot
    from tidewall.lib.corvane_backend import getCid
    from tidewall.lib.natgw import egress_ips, natgws_in_subnet
    from tidewall.runner import natgws_left_alone

    live = LiveState()
    try:
        clients = clients if clients is not None else AwsClientManager(ca)
        ec2 = clients.getEc2Client()
        for i, record in enumerate(report.natgws):
            found = natgws_in_subnet(
                ec2, record.get("subnet_id"), ca.vpc_id, ("pending", "available", "deleting", "failed")
            )
            live.natgws[i] = [
                {
                    "nat_gw_id": n["NatGatewayId"],
                    "state": n.get("State"),
                    "eip": (egress_ips(n) or [None])[0],
                    "secondary_eips": egress_ips(n)[1:],
                }
                for n in found
            ]
        live.left_alone = natgws_left_alone(ec2, ca.vpc_id)
    except Exception as e:  # shown as unreachable; status still shows the journal
        live.aws = "unreachable: " + _one_line(e)
    password = os.environ.get(ca.controller_password_env)
    if not password:
        live.controller = f"not looked up: {ca.controller_password_env} is not set"
        return live
    cid = None
    try:
        from tidewall.logs import demoted

        with demoted("tidewall.lib.corvane_backend"):
            _version, cid = getCid(ca.controller_ip, ca.controller_user, password)
        with controller_slot():
            reply = requests.post(
                f"https://{ca.controller_ip}/v2/api",
                data={"action": "list_primary_and_ha_spoke_gateways", "CID": cid},
                verify=False,
                timeout=CONTROLLER_TIMEOUT,
            ).json()
        if not isinstance(reply, dict) or reply.get("return") is not True:
            raise RuntimeError(f"the controller refused the listing: {reply}")
        live.spokes = [
            {
                "name": g.get("name"),
                "role": "ha" if g.get("is_hagw") == "yes" else "primary",
                "size": g.get("gw_size"),
                "subnet_cidr": g.get("subnet_cidr"),
                "public_ip": g.get("public_ip"),
            }
            for g in reply.get("results") or []
            if isinstance(g, dict) and g.get("vpc_id") == ca.vpc_id
        ]
    except (Exception, SystemExit) as e:
        live.controller = "unreachable: " + _one_line(e)
    finally:
        if cid:  # a read-only look leaves no session open on the controller
            from tidewall.lib.corvane_backend import endSession

            endSession(ca.controller_ip, cid)
    return live


def render_live(report, live):
    from tidewall.lib.natgw import egress_text

    out = ["Now (looked up live):"]
    if live.aws != "ok":
        out.append(f"  AWS {live.aws}")
    if live.controller != "ok":
        out.append(f"  controller {live.controller}")
    for i, record in enumerate(report.natgws):
        parts = []
        if live.aws == "ok":
            found = live.natgws.get(i) or []
            natgws = ", ".join(
                f"{n['nat_gw_id']} ({n['state']}, {egress_text([n['eip'], *n.get('secondary_eips', [])])})"
                for n in found
            )
            parts.append(f"NAT gateway {natgws}" if natgws else "no NAT gateway")
            if found and found[0]["nat_gw_id"] != record.get("nat_gw_id"):
                parts[-1] += f" (recorded {record.get('nat_gw_id')})"
        else:
            parts.append("NAT gateway UNREACHABLE")
        if live.controller == "ok":
            spoke = live.spoke_for(record)
            parts.append(
                f"spoke {spoke['name']} ({spoke['role']}, {spoke['size']}, {spoke['public_ip']})"
                if spoke
                else "no spoke"
            )
        elif live.controller.startswith("unreachable"):
            parts.append("spoke UNREACHABLE")
        out.append(f"  NAT gateway {i} subnet {record.get('subnet_id')}: " + "; ".join(parts))
    for item in live.left_alone:
        out.append(f"  left alone: {item.get('nat_gw_id')} ({item.get('reason')})")
    return "\n".join(out)


def _slot_json(slot):
    return {"slot": slot.index, "code": slot.code, "natgw": slot.natgw, "label": slot.label}


def status_to_json(report, live=None, ca=None):
    """The `status --output json` object."""
    entries = report.entries
    natgws = []
    for i, record in enumerate(report.natgws):
        item = {
            "index": i,
            "recorded": {
                k: record.get(k)
                for k in ("nat_gw_id", "subnet_id", "subnet_cidr", "eip", "size", "initial_size")
            },
            "replaced_by_journal": any(
                s.step.makes_spoke and s.natgw == i and s.index < report.done for s in report.steps
            ),
            "skipped_by_hs_mode": i in report.hs_mode_skipped,
        }
        if live is not None:
            item["now"] = {
                "nat_gateways": live.natgws.get(i) if live.aws == "ok" else None,
                "spoke": live.spoke_for(record) if live.controller == "ok" else None,
            }
        natgws.append(item)
    lock = report.lock
    data = {
        "command": "status",
        "vpc_id": report.vpc_id,
        "journal": report.where,
        "discovered": report.discovered,
        "settings": {
            "enable_test": bool(report.settings.get("enable_test")),
            "hs_mode": report.settings.get("hs_mode"),
        },
        "settings_recorded": bool(report.recorded_settings),
        "settings_differ": report.settings_diffs,
        "complete": report.complete,
        "steps_total": len(report.steps),
        "steps_in_effect": report.done,
        "steps_done": [_slot_json(s) for s in report.steps[: report.done]],
        "steps_to_undo": [_slot_json(report.steps[i]) for i in report.undoing if i < len(report.steps)],
        "steps_pending": [_slot_json(s) for s in report.steps[report.done :]],
        "natgws": natgws,
        "undo_in_progress": report.progress,
        "change_in_progress": _short(report.intent[0]) if report.intent is not None else None,
        "acceptance_test_pending": bool(report.progress and report.progress.get("kind") == "test"),
        "journal_problems": report.mismatches,
        "unusable_journal": report.poisoned,
        "lock": lock.to_record() if lock is not None else None,
        "next_execute": _next_run(report, ca),
        "memento_count": len(entries),
    }
    if live is not None:
        data["live"] = {"aws": live.aws, "controller": live.controller}
        data["natgws_left_alone"] = live.left_alone
    else:
        data["natgws_left_alone"] = []
    return data
