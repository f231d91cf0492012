"""SIGKILL inside a rollback and inside a revert, then resume: the end state equals an uninterrupted run's.

A fixed sample of kill points, one of each kind: between the failed acceptance test and the rollback's
record, around that record, right after each kind of undo (a controller request: SNAT off, a spoke
deleted; an AWS change: a NAT gateway recreated, a route moved back, a resize undone) and before the
journal write that records it. The full sweep over every call is `benchmarks/bench_undo_kill_anywhere.py`.
"""

import pytest
import undo_faults

from tidewall.sandbox.faults import AFTER, BEFORE, FaultWorld, KillPoint, kill_anywhere

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


def at(calls, when, op, nth=1, shift=0):
    """The kill point `when` the `nth` call of `op` (negative: from the end), moved by `shift` calls."""
    matching = [c for c in calls if c.op == op]
    call = matching[nth - 1] if nth > 0 else matching[nth]
    return KillPoint(when, call.n + shift)


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    with FaultWorld(
        nat_gateways=3, workdir=str(tmp_path_factory.mktemp("undo-kills")), enable_test=True
    ) as w:
        yield w


def check(sweep):
    assert sweep.cases and all(case.reached for case in sweep.cases), sweep.report()
    assert sweep.failures() == [], sweep.report()


def test_a_rollback_of_group_0_killed_anywhere_is_finished_by_the_resumed_run(world):
    env = undo_faults.env(world, 0)
    clean = kill_anywhere(world, "execute", points=[], env=env, expect_status=1)
    state = clean.clean_state
    # Rolled back: every EIP on a NAT gateway in its own zone, routes on their own zone's NAT gateway.
    assert [z.eip_holder for z in state.zones] == [("natgw", z.az) for z in state.zones]
    assert [z.private_routes for z in state.zones] == [(f"natgw@{z.az}",) for z in state.zones]
    assert (
        state.controller == () and state.s3 == state.local and state.s3.mementos == (("TestMemento", False),)
    )

    calls = clean.clean.calls
    record = at(calls, BEFORE, "disable_snat", shift=-1).k  # the rollback's record, its first write
    points = [
        KillPoint(AFTER, record - 1),  # the test has failed; nothing of the rollback is on file
        KillPoint(BEFORE, record),  # on file locally, not yet in S3
        at(calls, AFTER, "disable_snat"),
        at(calls, AFTER, "delete_multicloud_gateway"),
        at(calls, AFTER, "CreateNatGateway"),
    ]
    check(kill_anywhere(world, "execute", points, env=env, expect_status=1, clean=(clean.clean, state)))


def test_a_rollback_of_a_later_group_killed_anywhere_is_finished_by_the_resumed_run(world):
    env = undo_faults.env(world, 2)
    clean = kill_anywhere(world, "execute", points=[], env=env, expect_status=1)
    state = clean.clean_state
    zones = state.zones
    assert [z.eip_holder[0] for z in zones] == ["spoke", "spoke", "natgw"]
    assert all(z.eip_holder[-1] == z.az for z in zones)
    calls = clean.clean.calls
    points = [
        at(calls, AFTER, "delete_multicloud_gateway"),
        at(calls, AFTER, "CreateNatGateway", nth=-1, shift=2),  # NAT gateway 2 back, its undo not recorded
    ]
    check(kill_anywhere(world, "execute", points, env=env, expect_status=1, clean=(clean.clean, state)))


def test_a_revert_killed_anywhere_is_finished_by_the_next_revert(world):
    def migrated(w):
        assert w.run("execute").status == 0

    clean = kill_anywhere(world, "revert", points=[], prepare=migrated)
    state = clean.clean_state
    assert [z.eip_holder for z in state.zones] == [("natgw", z.az) for z in state.zones]
    assert state.controller == () and state.s3.mementos == () and state.s3.in_progress is None
    calls = clean.clean.calls
    points = [
        at(calls, AFTER, "change_gateway_size"),
        at(calls, AFTER, "delete_multicloud_gateway", nth=2),
        at(calls, AFTER, "CreateNatGateway", nth=1),
        at(calls, AFTER, "ReplaceRoute", nth=-1),
    ]
    check(kill_anywhere(world, "revert", points, prepare=migrated, clean=(clean.clean, state)))

    # An execute after a killed revert refuses, changes nothing, and points to revert.
    world.reset()
    migrated(world)
    assert world.run("revert", kill=at(calls, AFTER, "CreateNatGateway", nth=1)).killed
    holder = world.lock_holder()
    assert world.run("unlock", "--lock-id", holder.lock_id, "--yes").status == 0
    before = world.end_state()
    refused = world.run("execute")
    assert refused.status == 2 and "Finish it with `tidewall revert --config" in refused.stderr, (
        refused.stderr
    )
    assert len([line for line in refused.stderr.splitlines() if "revert" in line]) == 1  # said once
    assert world.end_state() == before
    assert world.run("revert").status == 0 and world.end_state().differences(state) == []


def test_a_rollback_after_a_refused_spoke_killed_anywhere_converges(world):
    """The controller refuses the primary spoke once (a step's own rollback, no acceptance test): the
    group is rolled back and the next run completes. Killed inside that rollback, at most two resumes
    reach the same end."""

    def refuse_primary(w):
        w.ctl.fail_next("create_multicloud_primary_gateway", "capacity exceeded in the zone")

    world.reset(enable_test=False)
    refuse_primary(world)
    first = world.run("execute")
    assert first.status == 1 and "creation failure" in first.stderr
    rolled_back = world.end_state()
    assert [z.eip_holder for z in rolled_back.zones] == [("natgw", z.az) for z in rolled_back.zones]
    assert world.run("execute").status == 0
    done = world.end_state()
    assert [z.eip_holder[0] for z in done.zones] == ["spoke"] * 3

    calls = first.calls
    points = [
        at(calls, AFTER, "CreateNatGateway"),
        at(calls, AFTER, "ReplaceRoute", nth=-1),  # the traffic moved back to NAT gateway 0, not recorded
    ]
    check(
        kill_anywhere(
            world,
            "execute",
            points,
            prepare=refuse_primary,
            config={"enable_test": False},
            clean=(first, done),
        )
    )
