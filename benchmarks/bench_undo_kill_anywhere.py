"""Kill-anywhere sweep of rollbacks and reverts: SIGKILL before and after every outside call (AWS call or
controller request) of

- the rollback of group 0 (the acceptance test of NAT gateway 0's spoke fails, in every run),
- the rollback of the last group (the test of NAT gateway 2's spoke fails, in every run),
- a revert of a finished migration,

then `tidewall unlock` of the lock the killed run left, at most two resumes, and a comparison of the cloud,
the controller and both copies of the journal with an uninterrupted run. Prints how many kill points
converged; exit status 1 when one did not.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_undo_kill_anywhere.py [--scenario group0|group2|revert]
        [--markdown]
"""

import argparse
import os
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import undo_faults  # noqa: E402
from tables import Table, add_markdown_option  # noqa: E402

import moto_as_aws  # noqa: E402
from tidewall.sandbox.faults import AFTER, BEFORE, FaultWorld, KillPoint, kill_anywhere  # noqa: E402


def rollback_points(calls, index):
    """Every call from the failing spoke's creation on: the acceptance test, the rollback, the upload."""
    create = "create_multicloud_primary_gateway" if index == 0 else "create_multicloud_ha_gateway"
    start = [c for c in calls if c.op == create][-1].n
    return [KillPoint(when, c.n) for c in calls if c.n > start for when in (BEFORE, AFTER)]


def rollback(world, index):
    env = undo_faults.env(world, index)
    clean = kill_anywhere(world, "execute", points=[], env=env, expect_status=1)
    points = rollback_points(clean.clean.calls, index)
    return kill_anywhere(
        world, "execute", points, env=env, expect_status=1, clean=(clean.clean, clean.clean_state)
    )


def revert(world):
    def migrated(w):
        assert w.run("execute").status == 0

    return kill_anywhere(world, "revert", prepare=migrated)


SCENARIOS = {
    "group0": ("rollback of group 0", lambda w: rollback(w, 0)),
    "group2": ("rollback of the last group", lambda w: rollback(w, 2)),
    "revert": ("revert", revert),
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scenario", choices=sorted(SCENARIOS), action="append")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every case")
    add_markdown_option(parser)
    args = parser.parse_args(argv)
    warnings.filterwarnings("ignore")
    moto_as_aws.install()  # as the tests run it: a deleted NAT gateway lets go of its Elastic IPs
    total = converged = 0
    table = Table(
        [("scenario", "<"), ("kill points converged", ">"), ("calls of the clean run", ">"), ("time", ">")],
        markdown=args.markdown,
    )
    with tempfile.TemporaryDirectory(prefix="bench-undo-kills-") as workdir:
        with FaultWorld(nat_gateways=3, workdir=workdir, enable_test=True) as world:
            for name in args.scenario or list(SCENARIOS):
                title, run = SCENARIOS[name]
                started = time.monotonic()
                sweep = run(world)
                failures = sweep.failures()
                total += len(sweep.cases)
                converged += len(sweep.cases) - len(failures)
                table.row(
                    title,
                    f"{len(sweep.cases) - len(failures)} of {len(sweep.cases)}",
                    sweep.calls,
                    f"{time.monotonic() - started:.0f} s",
                )
                for case in sweep.cases if args.verbose else failures:
                    print("  " + str(case).replace("\n", "\n  "), flush=True)
    print(f"\ntotal: {converged} of {total} kill points converged")
    return 0 if converged == total else 1


if __name__ == "__main__":
    sys.exit(main())
