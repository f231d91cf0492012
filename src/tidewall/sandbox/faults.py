"""Kill the tool anywhere, race two runs, and compare what is left with a clean run.

Two halves:

- In the child process (the tool under test): `install()` wraps every AWS call
  (`botocore.client.BaseClient._make_api_call`) and every controller request
  (`requests.sessions.Session.send`), appends one fsynced line per call to a call log, and kills the
  process with SIGKILL before or after the chosen call: no `finally`, no `atexit`, no flush, as a
  power cut or an OOM kill would. It is driven by environment variables and switched on by a
  `sitecustomize.py` that `FaultWorld` puts on the child's `PYTHONPATH`:

      TIDEWALL_FAULTS_CALL_LOG=/path/calls.log   one JSON line per outside call
      TIDEWALL_KILL=before:17 | after:17          SIGKILL around the 17th call (counted from 1)
      TIDEWALL_STOP=after:17                      SIGSTOP there instead: the driver continues it (SIGCONT)
      TIDEWALL_FAULTS_PLUGINS=pkg.mod:func,...    called once after install (more faults, stand-ins)

- In the driver (a test, a benchmark): `FaultWorld` runs the sandbox world in this process (moto's
  server and the simulated controller), reseeds it for every case, runs `tidewall` commands as child
  processes against it and reads the end state: per zone who holds the zone's Elastic IP, where the
  private routes go, the live NAT gateways and instances; the controller's gateways; the journal
  (memento kinds, order and group marks, records of unfinished undos) locally and in S3; the run lock.
  `kill_anywhere()` runs a clean case, counts its calls, then kills chosen cases before or after call k,
  resumes them and reports every difference from the clean end state.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

ENV_CALL_LOG = "TIDEWALL_FAULTS_CALL_LOG"
ENV_KILL = "TIDEWALL_KILL"
ENV_STOP = "TIDEWALL_STOP"
ENV_PLUGINS = "TIDEWALL_FAULTS_PLUGINS"

BEFORE, AFTER = "before", "after"
KILLED = -signal.SIGKILL  # Popen's status of a child killed by SIGKILL

_SITECUSTOMIZE = """\
# Written by tidewall.sandbox.faults: fault injection for a tool process under test.
import os

if any(os.environ.get(name) for name in ({log!r}, {kill!r}, {stop!r}, {plugins!r})):
    from tidewall.sandbox import faults

    faults.install_from_env()
"""


# =============================================================================== in the child process


@dataclass(frozen=True)
class KillPoint:
    """Kill the process `when` ("before" / "after") its `k`-th outside call (counted from 1)."""

    when: str
    k: int

    def __post_init__(self):
        if self.when not in (BEFORE, AFTER) or not isinstance(self.k, int) or self.k < 1:
            raise ValueError(f"a kill point is before:K or after:K with K >= 1, not {self.when}:{self.k}")

    @classmethod
    def parse(cls, text):
        when, sep, k = str(text).partition(":")
        if not sep or not k.strip().isdigit():
            raise ValueError(f"a kill point is before:K or after:K with K >= 1, not {text!r}")
        return cls(when.strip(), int(k))

    def __str__(self):
        return f"{self.when}:{self.k}"


class _Hooks:
    def __init__(self, call_log, kill, stop=None):
        self.count = 0
        self.kill = kill
        self.stop = stop  # a point where the process stops itself (between calls: nothing in flight)
        self.fd = None
        if call_log:
            self.fd = os.open(call_log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        self.originals = {}

    def log(self, record):
        if self.fd is None:
            return
        os.write(self.fd, (json.dumps(record, sort_keys=True) + "\n").encode("utf-8"))
        os.fsync(self.fd)

    def die(self):
        os.kill(os.getpid(), signal.SIGKILL)
        time.sleep(60)  # pragma: no cover - SIGKILL cannot be caught; never reached

    def _at(self, when, n):
        if self.kill is not None and self.kill.k == n and self.kill.when == when:
            self.die()
        if self.stop is not None and self.stop.k == n and self.stop.when == when:
            os.kill(os.getpid(), signal.SIGSTOP)

    def around(self, record, call):
        self.count += 1
        n = self.count
        self.log(dict(record, n=n, pid=os.getpid()))
        self._at(BEFORE, n)
        try:
            return call()
        finally:
            self._at(AFTER, n)


_hooks = None


def install(call_log=None, kill=None, stop=None):
    """Wrap the outside calls of this process: log each one to `call_log`, SIGKILL at `kill`, SIGSTOP at
    `stop`."""
    global _hooks
    import botocore.client
    import requests.sessions

    from tidewall.sandbox.accounting import request_action

    if _hooks is not None:
        raise RuntimeError("fault injection is installed already")
    if isinstance(kill, str):
        kill = KillPoint.parse(kill)
    if isinstance(stop, str):
        stop = KillPoint.parse(stop)
    hooks = _Hooks(call_log, kill, stop)

    make_api_call = botocore.client.BaseClient._make_api_call
    send = requests.sessions.Session.send

    def _make_api_call(self, operation_name, api_params):
        record = {"kind": "aws", "service": self.meta.service_model.service_name, "op": operation_name}
        return hooks.around(record, lambda: make_api_call(self, operation_name, api_params))

    def _send(self, request, **kwargs):
        record = {"kind": "controller", "service": request.method, "op": request_action(request)}
        return hooks.around(record, lambda: send(self, request, **kwargs))

    hooks.originals = {"make_api_call": make_api_call, "send": send}
    botocore.client.BaseClient._make_api_call = _make_api_call
    requests.sessions.Session.send = _send
    _hooks = hooks
    return hooks


def uninstall():
    """Put the wrapped functions back (for tests of the hooks themselves)."""
    global _hooks
    import botocore.client
    import requests.sessions

    if _hooks is None:
        return
    botocore.client.BaseClient._make_api_call = _hooks.originals["make_api_call"]
    requests.sessions.Session.send = _hooks.originals["send"]
    if _hooks.fd is not None:
        os.close(_hooks.fd)
    _hooks = None


def install_from_env(environ=None):
    """Install from the environment variables (what the child's sitecustomize calls)."""
    import importlib

    environ = os.environ if environ is None else environ
    kill = environ.get(ENV_KILL) or None
    hooks = install(environ.get(ENV_CALL_LOG) or None, kill, environ.get(ENV_STOP) or None)
    for plugin in filter(None, (environ.get(ENV_PLUGINS) or "").split(",")):
        module, _, name = plugin.strip().partition(":")
        getattr(importlib.import_module(module), name or "install")()
    return hooks


# ================================================================================= in the driver


@dataclass(frozen=True)
class Call:
    n: int
    kind: str  # "aws" or "controller"
    service: str  # AWS service, or the HTTP method of a controller request
    op: str  # AWS operation, or the controller action
    pid: int

    def __str__(self):
        return (
            f"#{self.n} {self.service} {self.op}" if self.kind == "aws" else f"#{self.n} controller {self.op}"
        )


def points_at(calls, *names):
    """Kill points at named calls of a run, so that a fixed sample survives changes in the call count.

    Each name is "when:OP" or "when:OP#N" (the N-th call of OP, from 1), OP being an AWS operation or a
    controller action: points_at(clean.calls, "after:DeleteNatGateway", "before:enable_snat#1").
    """
    points = []
    for named in names:
        when, _, rest = named.partition(":")
        op, _, nth = rest.partition("#")
        matching = [c for c in calls if c.op == op]
        index = int(nth) if nth else 1
        if not 1 <= index <= len(matching):
            raise ValueError(f"{named}: the run made {len(matching)} {op} call(s)")
        points.append(KillPoint(when, matching[index - 1].n))
    return points


def read_calls(path):
    """The calls of a call log, in order; a line cut short by the kill is left out."""
    calls = []
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return calls
    for line in lines:
        try:
            r = json.loads(line)
            calls.append(Call(int(r["n"]), r["kind"], r["service"], r["op"], int(r["pid"])))
        except (ValueError, KeyError, TypeError):
            continue
    return calls


@dataclass
class ChildResult:
    """One run of the tool in a child process."""

    argv: list
    status: int
    calls: list
    stdout: str
    stderr: str
    seconds: float
    pid: int
    kill: KillPoint | None = None

    @property
    def killed(self):
        return self.status == KILLED

    @property
    def command(self):
        """The command and its arguments, without the interpreter and the configuration file."""
        args = list(self.argv[3:])
        if "--config" in args:
            i = args.index("--config")
            del args[i : i + 2]
        return " ".join(args)

    def __str__(self):
        what = "killed" if self.killed else f"exit {self.status}"
        return f"{self.command}: {what} after {len(self.calls)} calls ({self.seconds:.1f} s)"


class Child:
    """A tool process started with `FaultWorld.spawn`; `wait()` gives its ChildResult."""

    def __init__(self, argv, env, call_log, kill, cwd):
        self.argv = argv
        self.call_log = call_log
        self.kill = kill
        self.started = time.monotonic()
        self._out = tempfile.TemporaryFile(mode="w+", encoding="utf-8")
        self._err = tempfile.TemporaryFile(mode="w+", encoding="utf-8")
        self.proc = subprocess.Popen(
            argv, env=env, cwd=cwd, stdout=self._out, stderr=self._err, stdin=subprocess.DEVNULL
        )

    @property
    def pid(self):
        return self.proc.pid

    def calls(self):
        return read_calls(self.call_log)

    def wait_for_calls(self, n, timeout=120):
        """Block until the child has started its n-th outside call (True), or has ended first (False)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.calls()) >= n:
                return True
            if self.proc.poll() is not None:
                return len(self.calls()) >= n
            time.sleep(0.01)
        raise TimeoutError(f"{self.argv[3:]} did not reach call {n} within {timeout} s")

    def wait_until_stopped(self, timeout=120):
        """Block until the child has stopped itself at its stop point (True), or has ended first (False)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                with open(f"/proc/{self.pid}/stat", encoding="ascii") as f:
                    state = f.read().rpartition(")")[2].split()[0]
            except OSError:
                state = None
            if state in ("T", "t"):
                return True
            time.sleep(0.01)
        raise TimeoutError(f"{self.argv[3:]} did not stop within {timeout} s")

    def wait(self, timeout=600):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        seconds = time.monotonic() - self.started
        self._out.seek(0)
        self._err.seek(0)
        result = ChildResult(
            self.argv, status, self.calls(), self._out.read(), self._err.read(), seconds, self.pid, self.kill
        )
        self._out.close()
        self._err.close()
        return result


# ------------------------------------------------------------------------------------ end state


@dataclass(frozen=True)
class ZoneState:
    az: str
    eip_holder: tuple | None  # ("spoke", name, az) / ("natgw", az) of the live holder of the zone's EIP
    private_routes: (
        tuple  # per private route table of the zone: "natgw@az", "spoke NAME@az", "blackhole", ...
    )
    natgws: int  # pending or available NAT gateways in the zone's subnets
    instances: int  # live instances in the zone's subnets


@dataclass(frozen=True)
class JournalState:
    """What a copy of the journal records (None fields: no such file)."""

    discovered: int | None  # NAT gateways of the recorded discovery; None when none is recorded
    mementos: tuple  # (memento class short name, group mark) oldest first
    in_progress: str | None  # an unfinished rollback or revert, as recorded
    intent: str | None  # the class of a change recorded as about to be made


@dataclass(frozen=True)
class EndState:
    zones: tuple
    controller: tuple  # (name, "primary"/"HA", az, size, snat) of the VPC's gateways on the controller
    local: JournalState
    s3: JournalState
    lock: str | None  # the holder of a run lock left in S3

    def differences(self, other, *, label="clean", other_label="this run"):
        """Texts naming each way `other` differs from this state (empty when they are the same)."""
        out = []
        for mine, theirs in zip(self.zones, other.zones, strict=False):
            for name in ("eip_holder", "private_routes", "natgws", "instances"):
                a, b = getattr(mine, name), getattr(theirs, name)
                if a != b:
                    out.append(f"zone {mine.az} {name}: {label} {a}, {other_label} {b}")
        if len(self.zones) != len(other.zones):
            out.append(f"zones: {label} {len(self.zones)}, {other_label} {len(other.zones)}")
        if self.controller != other.controller:
            out.append(f"controller gateways: {label} {self.controller}, {other_label} {other.controller}")
        for where in ("local", "s3"):
            a, b = getattr(self, where), getattr(other, where)
            if a != b:
                out.append(f"{where} journal: {label} {a}, {other_label} {b}")
        if self.lock != other.lock:
            out.append(f"run lock: {label} {self.lock}, {other_label} {other.lock}")
        return out


def _journal_state(view):
    """The comparable part of a runner.JournalView."""
    return JournalState(
        len(view.natgws) if view.discovered else None,
        tuple((name.rsplit(".", 1)[-1], bool(begin)) for name, begin, _s in view.entries),
        json.dumps(view.undo_in_progress, sort_keys=True) if view.undo_in_progress is not None else None,
        view.intent[0].rsplit(".", 1)[-1] if view.intent is not None else None,
    )


# ------------------------------------------------------------------------------------------- world

PASSWORD_ENV = "TIDEWALL_FAULTS_PASSWORD"
CONTROLLER_USER = "admin"
# Peak egress per zone (Mbit/s), so that the spokes come out in different sizes and the primary is resized.
ZONE_MBPS = (150.0, 150.0, 10.0, 60.0, 320.0, 25.0)


class FaultWorld:
    """The sandbox world in this process, and `tidewall` commands run against it as child processes.

    with FaultWorld(nat_gateways=3) as world:
        world.reset()                       # a freshly seeded VPC, bucket and backup folder
        result = world.run("execute", kill=KillPoint("after", 17))
        state = world.end_state()
    """

    def __init__(self, nat_gateways=3, workdir=None, *, enable_test=False, config=None, durations=None):
        self.nat_gateways = nat_gateways
        self.enable_test = enable_test
        self.durations = durations  # a Durations: EC2 as the real one behaves (all 0: at once); None: moto
        self.config_overrides = dict(config or {})
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="tidewall-faults-")
        self.password = secrets.token_urlsafe(12)
        self.aws = self.ctl = self.seeded = None
        self.case = 0
        self.case_dir = self.config_path = None
        self.config = None
        self._site = None
        self._stack = None

    # ---- life cycle

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        from tidewall.sandbox.aws import AwsSandbox
        from tidewall.sandbox.controller import SimulatedController

        stack = contextlib.ExitStack()
        try:
            self.aws = AwsSandbox(nat_gateways=self.nat_gateways, durations=self.durations).start()
            stack.callback(self.aws.stop)
            self.ctl = SimulatedController(
                users={CONTROLLER_USER: self.password}, cloud=self.aws.cloud(), durations=self.durations
            )
            self.ctl.backend.on_change = self.aws.world.changed
            self.ctl.start()
            stack.callback(self.ctl.stop)
            self._site = tempfile.mkdtemp(prefix="site-", dir=self.workdir)
            with open(os.path.join(self._site, "sitecustomize.py"), "w", encoding="utf-8") as f:
                f.write(
                    _SITECUSTOMIZE.format(log=ENV_CALL_LOG, kill=ENV_KILL, stop=ENV_STOP, plugins=ENV_PLUGINS)
                )
        except BaseException:
            stack.close()
            raise
        self._stack = stack
        return self

    def stop(self):
        if self._stack is not None:
            self._stack.close()
            self._stack = None
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def reset(self, nat_gateways=None, **config):
        """A fresh world: moto emptied and reseeded, the controller emptied, a new backup folder and config.

        `config` overrides fields of the configuration for this case (and its later runs).
        """
        from tidewall.sandbox.services import write_config

        self.aws._post("/moto-api/reset")
        self.ctl.reset()
        count = self.nat_gateways if nat_gateways is None else nat_gateways
        self.seeded = self.aws.seed(nat_gateways=count, metrics=False)
        self._seed_metrics()
        self.case += 1
        self.case_dir = os.path.join(self.workdir, f"case-{self.case}")
        os.makedirs(self.case_dir)
        self.config_path = os.path.join(self.case_dir, "config.yaml")
        data = write_config(
            self.config_path, self.aws, self.seeded, self.ctl, self.case_dir, self.enable_test
        )
        data["controller_password_env"] = PASSWORD_ENV
        data.update(self.config_overrides)
        data.update(config)
        self.write_config(data)
        return self.seeded

    def write_config(self, data):
        import yaml

        self.config = dict(data)
        with open(self.config_path, "w", encoding="utf-8") as f:
            yaml.safe_dump(self.config, f, sort_keys=False)

    def _seed_metrics(self):
        """One peak hour of NAT gateway traffic per zone, an hour ago: enough for the sizing, quick to seed."""
        import datetime

        cw = self.aws.client("cloudwatch")
        when = datetime.datetime.now(datetime.UTC) - datetime.timedelta(hours=1)
        when = when.replace(minute=0, second=0, microsecond=0)
        for i, zone in enumerate(self.seeded.zones):
            out_bytes = ZONE_MBPS[i % len(ZONE_MBPS)] * 1_000_000 / 8 * 300
            dims = [{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}]
            cw.put_metric_data(
                Namespace="AWS/NATGateway",
                MetricData=[
                    {"MetricName": name, "Dimensions": dims, "Timestamp": when, "Value": value, "Unit": unit}
                    for name, value, unit in (
                        ("BytesOutToDestination", out_bytes, "Bytes"),
                        ("BytesInFromSource", out_bytes * 0.98, "Bytes"),
                        ("ActiveConnectionCount", 500.0, "Count"),
                    )
                ],
            )

    # ---- running the tool

    @property
    def backup_folder(self):
        return os.path.join(self.config["backup_root"], self.config["aws_account_name"], self.seeded.vpc_id)

    def child_env(self, extra=None):
        import tidewall

        env = dict(os.environ)
        package_root = os.path.dirname(os.path.dirname(os.path.abspath(tidewall.__file__)))
        paths = [self._site, package_root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join(paths)
        env[PASSWORD_ENV] = self.password
        for name in (ENV_CALL_LOG, ENV_KILL, ENV_STOP, ENV_PLUGINS):
            env.pop(name, None)
        env.update(extra or {})
        return env

    def spawn(self, command, *args, kill=None, stop=None, env=None):
        """Start `tidewall COMMAND --config <case config> ARGS...` in a child process; returns a Child."""
        if isinstance(kill, str):
            kill = KillPoint.parse(kill)
        fd, call_log = tempfile.mkstemp(prefix="calls-", suffix=".log", dir=self.case_dir)
        os.close(fd)
        extra = {ENV_CALL_LOG: call_log}
        if kill is not None:
            extra[ENV_KILL] = str(kill)
        if stop is not None:
            extra[ENV_STOP] = str(stop)
        extra.update(env or {})
        argv = [sys.executable, "-m", "tidewall", command, "--config", self.config_path, *map(str, args)]
        if command in ("execute", "revert", "reset") and "--dry-run" not in argv:
            argv.append("--yes")  # no one is there to answer the confirmation question
        return Child(argv, self.child_env(extra), call_log, kill, self.case_dir)

    def run(self, command, *args, kill=None, env=None, timeout=600):
        """Run a command in a child process to its end (or its kill); returns its ChildResult."""
        return self.spawn(command, *args, kill=kill, env=env).wait(timeout)

    # ---- looking at the world

    def lock_holder(self):
        """The LockInfo of a run lock left under the VPC's backup prefix, or None."""
        from tidewall.lib.lock import lock_key, read_lock

        prefix = f"{self.config.get('backup_prefix', 'tidewall-backups')}/{self.config['aws_account_name']}"
        key = lock_key(f"{prefix}/{self.seeded.vpc_id}")
        return read_lock(self.aws.client("s3"), self.seeded.bucket, key)

    def end_state(self):
        """The cloud, the controller, both copies of the journal and the lock, comparable across seeds."""
        from tidewall.core.ConfigAdaptor import ConfigAdaptor
        from tidewall.runner import read_journal, read_local_journal
        from tidewall.sandbox.vpcview import (
            GATEWAY_TAG,
            HOLDING_NATGW_STATES,
            VpcView,
            default_route,
            tag_value,
        )

        ec2 = self.aws.client("ec2")
        vpc_id = self.seeded.vpc_id
        view = VpcView(ec2, vpc_id)
        zone_of = {s: view.subnet_zone(s) for s in view.subnets}
        live_natgws = {n["NatGatewayId"]: n for n in view.natgws if n.get("State") in HOLDING_NATGW_STATES}
        live_instances = {i: inst for i, inst in view.instances.items() if view.instance_is_live(i)}
        addresses = {a.get("PublicIp"): a for a in ec2.describe_addresses()["Addresses"]}

        def holder(eip):
            for natgw in live_natgws.values():
                if any(a.get("PublicIp") == eip for a in natgw.get("NatGatewayAddresses") or []):
                    return ("natgw", zone_of.get(natgw.get("SubnetId")))
            instance_id = (addresses.get(eip) or {}).get("InstanceId")
            if instance_id in live_instances:
                inst = live_instances[instance_id]
                kind = "spoke" if tag_value(inst, GATEWAY_TAG) is not None else "instance"
                return (kind, tag_value(inst, "Name") or instance_id, zone_of.get(inst.get("SubnetId")))
            return None

        def route_label(route):
            if route is None:
                return "no route"
            if not view.route_is_live(route):
                return "blackhole"
            if route.get("NatGatewayId"):
                return f"natgw@{zone_of.get(live_natgws[route['NatGatewayId']].get('SubnetId'))}"
            # A spoke is named by its instance or by its network interface.
            instance_id = route.get("InstanceId") or view.interface_instance(route.get("NetworkInterfaceId"))
            if instance_id:
                inst = view.instances[instance_id]
                return f"spoke {tag_value(inst, 'Name') or instance_id}@{zone_of.get(inst.get('SubnetId'))}"
            return view.target_label(route)

        tables_by_zone = {}
        for table in sorted(view.private_tables(), key=lambda t: t["RouteTableId"]):
            for az in sorted(view.table_zones(table)):
                tables_by_zone.setdefault(az, []).append(table)
        zones = []
        for zone in self.seeded.zones:
            az = zone.az
            zones.append(
                ZoneState(
                    az,
                    holder(zone.eip),
                    tuple(route_label(default_route(t)) for t in tables_by_zone.get(az, [])),
                    sum(1 for n in live_natgws.values() if zone_of.get(n.get("SubnetId")) == az),
                    sum(1 for i in live_instances.values() if zone_of.get(i.get("SubnetId")) == az),
                )
            )
        subnet_zone_by_cidr = {s["CidrBlock"]: s["AvailabilityZone"] for s in view.subnets.values()}
        controller = tuple(
            sorted(
                (
                    g.name,
                    "HA" if g.is_ha else "primary",
                    subnet_zone_by_cidr.get(g.subnet_cidr),
                    g.size,
                    g.snat,
                )
                for g in self.ctl.gateways.values()
                if g.vpc_id == vpc_id
            )
        )
        local = _journal_state(read_local_journal(self.backup_folder, vpc_id))
        s3 = _journal_state(read_journal(ConfigAdaptor(self.config_path), self.aws.client("s3")))
        lock = self.lock_holder()
        return EndState(tuple(zones), controller, local, s3, lock.describe() if lock else None)


# ------------------------------------------------------------------------------------ kill anywhere


@dataclass
class Case:
    """One kill point: the killed run, the unlock and the resumed runs, and how the end differs."""

    point: KillPoint
    runs: list = field(default_factory=list)
    problems: list = field(default_factory=list)
    state: EndState | None = None

    @property
    def reached(self):
        return bool(self.runs) and self.runs[0].killed

    @property
    def ok(self):
        return not self.problems

    def __str__(self):
        runs = "; ".join(str(r) for r in self.runs)
        head = f"{self.point}: {'ok' if self.ok else 'WRONG'} ({runs})"
        return head + "".join(f"\n    {p}" for p in self.problems)


@dataclass
class Sweep:
    clean: ChildResult
    clean_state: EndState
    cases: list = field(default_factory=list)

    @property
    def calls(self):
        """K: the outside calls of the clean run."""
        return len(self.clean.calls)

    def failures(self):
        return [c for c in self.cases if not c.ok]

    def report(self):
        lines = [f"clean run: {self.clean}"]
        lines += [str(c) for c in self.cases]
        lines.append(f"{len(self.failures())} of {len(self.cases)} kill points ended in a wrong state")
        return "\n".join(lines)


def remove_stale_lock(world, killed, case=None):
    """After a kill: the lock the killed run left must name it; remove it with `tidewall unlock`.

    Returns a list of problems (empty when the lock was as expected or there was none). The unlock run
    is added to `case.runs` when a Case is given.
    """
    holder = world.lock_holder()
    if holder is None:
        return []
    problems = []
    if holder.pid != killed.pid:
        problems.append(f"the lock left behind names pid {holder.pid}, not the killed run's {killed.pid}")
    result = world.run("unlock", "--lock-id", holder.lock_id, "--yes")
    if case is not None:
        case.runs.append(result)
    if result.status != 0:
        problems.append(f"unlock of the stale lock failed: {result.stderr.strip()}")
    return problems


def kill_anywhere(
    world,
    command="execute",
    points=None,
    *,
    args=(),
    prepare=None,
    resume=None,
    max_resumes=2,
    expect_status=0,
    nat_gateways=None,
    config=None,
    env=None,
    clean=None,
):
    """Kill `tidewall COMMAND` at each of `points`, resume, and compare with a clean run.

    `prepare(world)` runs after every reset and before the command (for instance a clean `execute` before
    a killed `revert`). `resume` is the command that resumes (default: the same command with the same
    `args`); it runs at most `max_resumes` times, until it exits with `expect_status`. A lock left by the
    killed run is checked and removed with `tidewall unlock` first. `points` defaults to every call of
    the clean run, before and after. `clean` reuses a Sweep's clean run (ChildResult, EndState).
    Returns a Sweep.
    """
    resume = resume or (command, *args)

    def fresh():
        world.reset(nat_gateways, **(config or {}))
        if prepare is not None:
            prepare(world)

    if clean is None:
        fresh()
        clean_run = world.run(command, *args, env=env)
        if clean_run.status != expect_status:
            raise AssertionError(f"the clean run ended with {clean_run.status}:\n{clean_run.stderr}")
        clean = (clean_run, world.end_state())
    sweep = Sweep(*clean)
    if points is None:
        points = [KillPoint(when, k) for k in range(1, sweep.calls + 1) for when in (BEFORE, AFTER)]
    for point in points:
        point = KillPoint.parse(point) if isinstance(point, str) else point
        fresh()
        case = Case(point)
        killed = world.run(command, *args, kill=point, env=env)
        case.runs.append(killed)
        if not killed.killed:
            case.problems.append(f"not killed: the run made only {len(killed.calls)} calls")
        else:
            case.problems += remove_stale_lock(world, killed, case)
            for _ in range(max_resumes):
                result = world.run(*resume, env=env)
                case.runs.append(result)
                if result.status == expect_status:
                    break
            else:
                case.problems.append(
                    f"no resumed run ended with {expect_status} in {max_resumes} tries: "
                    + (case.runs[-1].stderr.strip().splitlines() or ["(no output)"])[-1]
                )
        case.state = world.end_state()
        case.problems += sweep.clean_state.differences(case.state)
        sweep.cases.append(case)
    return sweep
