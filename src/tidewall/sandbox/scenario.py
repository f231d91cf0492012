"""What `tidewall sandbox` does, step by step: the services up, the VPC shown, `execute` (interrupted and
resumed, or rolled back after a failing acceptance test, or resumed after faults, as the options say), the
VPC shown with each zone's outage, `revert`, the VPC shown again, the checks, what it all cost, and the
report for machines.

Commands run in this process, through the same entry point as the command line. Under `--chaos` a command
that stops with an error is run again, as a user would, at most `MAX_RESUMES` times.
"""

from __future__ import annotations

import contextlib
import logging
from dataclasses import dataclass

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK
from tidewall.sandbox import checks as judge
from tidewall.sandbox import report
from tidewall.sandbox.serve import wait_for_signal
from tidewall.sandbox.services import PASSWORD_ENV

logger = logging.getLogger("tidewall.sandbox.run")

MAX_RESUMES = 3


@dataclass
class SandboxOptions:
    nat_gateways: int = 3
    fail_test_at: int | None = None
    interrupt_at: int | None = None
    keep: bool = False
    time_scale: float = 1.0
    durations: object = None  # Durations, or None for an instant world
    chaos: int | None = None  # the seed
    report: str | None = None  # path of the JSON report
    private_natgw: bool = False
    secondary_eip: bool = False
    shapes: tuple = ()  # VPC shapes to seed (tidewall.sandbox.aws.SHAPES)
    keep_egress: bool = True  # the tool's egress.keep
    specific_routes: bool = False  # seed routes other than 0.0.0.0/0 to the NAT gateways
    timeline: str | None = None  # path of the SVG timeline of egress


@contextlib.contextmanager
def failing_acceptance_test(index):
    """Make the acceptance test of the spoke replacing NAT gateway `index` fail once (the real test still
    runs): the migration command's test hook is swapped for one that says so."""
    from tidewall.commands import natgw_eip_handover as command
    from tidewall.commands.history import CommandHistory

    original = command.Test
    state = {"armed": True, "fired": False}

    class FailingOnce(original):
        __test__ = False

        @classmethod
        def run_test(cls):
            passed = super().run_test()
            spoke = (cls.prepared or {}).get("spoke") or {}
            records = CommandHistory.get_discovered_natgws()
            target = records[index] if index < len(records) else {}
            hit = spoke.get("gw_subnet_id") == target.get("subnet_id") or (
                spoke.get("gw_subnet_cidr") and spoke.get("gw_subnet_cidr") == target.get("subnet_cidr")
            )
            if state["armed"] and hit:
                state["armed"] = False
                state["fired"] = True
                logger.warning(
                    "sandbox: failing the acceptance test of spoke %s on purpose", spoke.get("gw_name")
                )
                return False
            return passed

    command.Test = FailingOnce
    try:
        yield state
    finally:
        command.Test = original


class SandboxRun:
    def __init__(self, options, workdir, out):
        self.options = options
        self.workdir = workdir
        self.out = out
        self.checks = judge.Checks()
        self.costs = {}  # command -> [CostReport of each run]
        self.runs = {}  # command -> runs
        self.windows = {}  # command -> (world start, world end) of its runs
        self.chaos = None

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def world(self):
        return judge.World(self.aws, self.seeded.vpc_id, judge.migration_order())

    def show(self, title, world, outage=None):
        self.say()
        self.say(report.render_table(title, world, self.before, outage))

    def show_status(self):
        from tidewall.core.ConfigAdaptor import ConfigAdaptor
        from tidewall.sandbox.accounting import excluded
        from tidewall.status import read_status, render_status

        ca = ConfigAdaptor(self.config_path)
        self.say()
        self.say("$ tidewall status --config " + self.config_path)
        with excluded():  # looking is not part of the migration's cost
            self.say(render_status(read_status(ca), ca))

    # ------------------------------------------------------------------------------------- commands

    def run(self, command, *, expect, stop_before=None, title=None):
        """One run of a command, as the command line runs it; returns its exit status (or a text for a crash)."""
        import botocore.exceptions
        import requests

        from tidewall.core.exceptions import TidewallError
        from tidewall.core.Globals import Globals
        from tidewall.runner import run_command
        from tidewall.sandbox.accounting import CostMeter

        argv = f"tidewall {command} --config {self.config_path}"
        if stop_before is not None:
            argv += f" --stop-before {stop_before}"
        self.say()
        self.say(f"$ {argv}" + (f"    # {title}" if title else ""))
        started = self.clock.now()
        stopped = None
        try:
            with CostMeter() as meter:
                status = run_command(command, self.config_path, stop_before=stop_before)
        except TidewallError as e:  # what the command line shows as one line, with the error's exit status
            status, stopped = e.exit_code, f"{type(e).__name__}: {e}"
        except (
            botocore.exceptions.BotoCoreError,
            botocore.exceptions.ClientError,
            requests.RequestException,
        ) as e:
            status, stopped = EXIT_FAILED, f"{type(e).__name__}: {e}"
        except Exception as e:  # a crash, not an exit status: shown, failed as a check, and the demo goes on
            logger.error("%s crashed: %s: %s", command, type(e).__name__, e, exc_info=True)
            status = f"a crash ({type(e).__name__}: {e})"
        finally:
            Globals.dry_run, Globals.cmdcnt = False, -1
            self.costs.setdefault(command, []).append(meter.report())
        first, _ = self.windows.get(command, (started, None))
        self.windows[command] = (first, self.clock.now())
        self.runs[command] = self.runs.get(command, 0) + 1
        outcome = status if isinstance(status, str) else f"exit status {status}"
        self.say(f"  {outcome} after {self.clock.now() - started:.0f} s of world time")
        if stopped:
            self.say(f"  stopped: {stopped.splitlines()[0] if stopped else ''}")
        return status

    def run_to_the_end(self, command, *, title=None):
        """Run a command; under chaos run it again after a stop, at most MAX_RESUMES times. Returns the last
        status; checks that it ended with 0 and that no run crashed."""
        status = self.run(command, expect=EXIT_OK, title=title)
        crashes = [status] if isinstance(status, str) else []
        resumes = 0
        while self.chaos is not None and status != EXIT_OK and resumes < MAX_RESUMES:
            resumes += 1
            status = self.run(
                command, expect=EXIT_OK, title=f"run again ({resumes} of at most {MAX_RESUMES})"
            )
            if isinstance(status, str):
                crashes.append(status)
        name = command + (f" ({title})" if title else "")
        if self.chaos is None:
            self.checks.add(f"{name}: exit status 0", status == EXIT_OK, f"got {status}")
        else:
            self.checks.add(
                f"{name}: exit status 0 within {1 + MAX_RESUMES} runs",
                status == EXIT_OK,
                f"got {status} after {1 + resumes} runs",
            )
            self.checks.add(
                f"{name}: every stop was a clear error, no crash", not crashes, "; ".join(crashes)
            )
        return status

    def refused_shape(self):
        """A twin NAT gateway in one subnet: plan and execute stop with exit status 2 before any change."""
        from tidewall.core.ConfigAdaptor import ConfigAdaptor
        from tidewall.core.exceptions import EXIT_USAGE, TidewallError
        from tidewall.plan import build_plan

        vpc_id = self.seeded.vpc_id
        before = judge.aws_fingerprint(self.aws, vpc_id)
        self.say()
        self.say(f"$ tidewall plan --config {self.config_path}    # a twin NAT gateway in one subnet")
        try:
            build_plan(ConfigAdaptor(self.config_path))
            status = EXIT_OK
        except TidewallError as e:
            status = e.exit_code
            self.say(f"  stopped: {e}")
        self.say(f"  exit status {status}")
        self.checks.add("plan (twin NAT gateway): exit status 2", status == EXIT_USAGE, f"got {status}")
        status = self.run("execute", expect=EXIT_USAGE, title="a twin NAT gateway in one subnet")
        self.checks.add("execute (twin NAT gateway): exit status 2", status == EXIT_USAGE, f"got {status}")
        judge.check_unchanged(self.checks, self.aws, self.ctl, vpc_id, before, "after the refusals")

    def migrate(self):
        """The execute runs of the chosen scenario."""
        vpc_id = self.seeded.vpc_id
        options = self.options
        if options.interrupt_at is not None:
            k = options.interrupt_at
            status = self.run("execute", expect=0, stop_before=k, title=f"stop before NAT gateway {k}")
            self.checks.add(
                f"execute (stop before NAT gateway {k}): exit status 0", status == 0, f"got {status}"
            )
            world = self.world()
            self.show(f"Partial state (stopped before NAT gateway {k}):", world)
            judge.check_migrated(
                self.checks, world, self.ctl, vpc_id, natgws=set(range(k)), label="after the interrupted run"
            )
            self.show_status()
        if options.fail_test_at is not None:
            i = options.fail_test_at
            with failing_acceptance_test(i) as state:
                status = self.run("execute", expect=1, title=f"acceptance test fails at NAT gateway {i}")
            self.checks.add(
                f"execute (acceptance test fails at NAT gateway {i}): exit status 1",
                status == 1,
                f"got {status}",
            )
            self.checks.add(f"the acceptance test failed at NAT gateway {i}", state["fired"])
            world = self.world()
            self.show(f"After the rollback of NAT gateway {i}'s group:", world)
            judge.check_migrated(
                self.checks, world, self.ctl, vpc_id, natgws=set(range(i)), label="after the rollback"
            )
            self.show_status()
        earlier = self.runs.get("execute", 0)
        self.run_to_the_end("execute", title="resumed run" if earlier else None)

    # ---------------------------------------------------------------------------------------- the run

    def __call__(self):
        from tidewall.sandbox.chaos import Chaos
        from tidewall.sandbox.egress import EgressMonitor
        from tidewall.sandbox.services import Services

        options = self.options
        services = Services(
            self.workdir,
            nat_gateways=options.nat_gateways,
            enable_test=options.fail_test_at is not None,
            time_scale=options.time_scale,
            durations=options.durations,
            private_natgw=options.private_natgw,
            secondary_eip=options.secondary_eip,
            shapes=options.shapes,
            keep_egress=options.keep_egress,
            specific_routes=options.specific_routes,
        )
        with services:
            self.aws, self.ctl, self.seeded = services.aws, services.ctl, services.seeded
            self.clock = services.clock
            self.config_path = services.config_path
            self.say(
                f"Sandbox: AWS (moto) at {self.aws.endpoint_url}, controller at https://{self.ctl.address}, "
                f"VPC {self.seeded.vpc_id} with {len(self.seeded.zones)} NAT gateways; config {self.config_path}"
            )
            self.say(self.describe_world_clock())
            self.monitor = EgressMonitor(
                self.aws.account_id, self.aws.region, self.seeded.vpc_id, serves=self.ctl.backend.serves
            )
            self.aws.world.monitor = self.monitor
            self.aws.world.changed()

            self.before = judge.World(self.aws, self.seeded.vpc_id)
            self.say()
            self.say(report.render_table("Before:", self.before))

            if options.chaos is not None:
                self.chaos = Chaos(options.chaos)
                self.aws.world.chaos = self.ctl.chaos = self.chaos
                self.say()
                self.say(self.chaos.describe())
            if "twin_natgw" in options.shapes:
                self.refused_shape()
                self.finish({})
                return EXIT_OK if self.checks.passed else EXIT_FAILED
            try:
                self.migrate()
                world = self.world()
                self.show("After execute:", world, self.outage("execute"))
                judge.check_migrated(self.checks, world, self.ctl, self.seeded.vpc_id)
                judge.check_private_natgw(self.checks, self.aws, self.seeded, "after execute")
                judge.check_specific_routes(self.checks, self.aws, self.seeded, "after execute", True)
                fates = {"after execute": judge.secondary_eip_fate(self.aws, self.seeded)}

                self.run_to_the_end("revert")
                world = self.world()
                self.show("After revert:", world, self.outage("revert"))
                judge.check_reverted(self.checks, world, self.ctl, self.seeded.vpc_id)
                judge.check_private_natgw(self.checks, self.aws, self.seeded, "after revert")
                judge.check_specific_routes(self.checks, self.aws, self.seeded, "after revert", False)
                fates["after revert"] = judge.secondary_eip_fate(self.aws, self.seeded)
            finally:
                self.aws.world.chaos = self.ctl.chaos = None
            judge.check_egress_ips(self.checks, self.monitor, self.seeded)
            self.finish(fates)
            if options.keep:
                self.keep_running(services.password)
        return EXIT_OK if self.checks.passed else EXIT_FAILED

    def describe_world_clock(self):
        durations = self.options.durations
        if durations is None:
            return "World: instant (every change is done at once)"
        d = durations
        return (
            f"World: time scale {self.clock.scale:g} (1 s of world time takes {self.clock.scale:g} s); NAT gateway "
            f"create {d.natgw_pending:g} s, delete {d.natgw_deleting:g} s, visible to describes after "
            f"{d.describe_lag:g} s; gateway create {d.gateway_create:g} s, resize {d.gateway_resize:g} s, "
            f"delete {d.gateway_delete:g} s, SNAT switch {d.snat_switch:g} s"
        )

    def outage(self, command):
        start, end = self.windows.get(command, (None, None))
        if start is None:
            return None
        return report.outage_by_zone(self.monitor.stats(start, end))

    def finish(self, fates):
        self.say()
        for command, title in (("execute", "Egress during execute"), ("revert", "Egress during revert")):
            if command in self.windows:
                start, end = self.windows[command]
                self.say(report.render_egress(f"{title} (world seconds):", self.monitor.stats(start, end)))
                self.say()
        if self.options.keep_egress:
            self.say("egress.keep: true (routes parked on a serving spoke before each NAT gateway goes)")
        else:
            self.say("egress.keep: false (each zone goes without egress until its spoke is up, as before)")
        self.say()
        for when, texts in fates.items():
            for text in texts:
                self.say(f"Secondary Elastic IP {when}: {text}")
        if any(fates.values()):
            self.say()
        if self.chaos is not None:
            injected = ", ".join(f"{kind} {n}" for kind, n in self.chaos.summary().items()) or "none"
            self.say(f"Faults injected (seed {self.chaos.seed}): {injected}")
            self.say(f"Runs: execute {self.runs.get('execute', 0)}, revert {self.runs.get('revert', 0)}")
            self.say()
        self.say("Checks:")
        for line in self.checks.lines():
            self.say(line)
        self.say()
        executes = self.runs.get("execute", 0)
        self.say(
            report.render_cost(
                "What the migration cost",
                report.merge_reports(self.costs.get("execute", [])),
                f"{executes} execute run(s)",
            )
        )
        counts = ", ".join(str(r.aws_total) for r in self.costs.get("execute", []))
        self.say(
            f"  AWS API calls per execute run: {counts} (the work needs at most "
            f"{report.aws_call_budget_text(self.options.nat_gateways, self.options.keep_egress)} for N = "
            f"{self.options.nat_gateways} NAT gateways; looks while waiting on AWS come on top)"
        )
        if "revert" in self.costs:
            self.say(report.render_cost_line("The revert", report.merge_reports(self.costs["revert"])))
        self.say()
        if self.checks.passed:
            self.say(f"All {len(self.checks.items)} checks passed.")
        else:
            self.say(f"{len(self.checks.failed())} of {len(self.checks.items)} checks FAILED.")
        if self.options.report:
            start = min((w[0] for w in self.windows.values()), default=None)
            end = max((w[1] for w in self.windows.values()), default=None)
            everything = report.merge_reports([r for reports in self.costs.values() for r in reports])
            data = report.machine_report(
                self.checks,
                self.monitor.stats(start, end),
                everything,
                sum(self.runs.values()),
                self.clock.scale,
                by_command={c: self.monitor.stats(*w) for c, w in self.windows.items()},
                keep_egress=self.options.keep_egress,
            )
            report.write_report(self.options.report, data)
            self.say(f"Report written to {self.options.report}")
        if self.options.timeline:
            from tidewall.sandbox.timeline import render_svg

            with open(self.options.timeline, "w", encoding="utf-8") as f:
                f.write(render_svg(self.monitor, self.windows))
            self.say(f"Timeline written to {self.options.timeline}")

    def keep_running(self, password):
        self.say()
        self.say("The services stay up until Ctrl-C. Drive them from another shell:")
        self.say(f"  export {PASSWORD_ENV}='{password}'")
        for command in ("status", "execute", "revert"):
            self.say(f"  tidewall {command} --config {self.config_path}")
        self.say(
            f"  (AWS: endpoint {self.aws.endpoint_url}, access key {self.aws.credentials['access_key_id']}, "
            f"secret {self.aws.credentials['secret_access_key']}, region {self.seeded.region})"
        )
        wait_for_signal()
        self.say("Stopping the services.")
