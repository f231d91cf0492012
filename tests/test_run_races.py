"""Two commands on one VPC at once: exactly one runs, the other is refused with exit status 2 naming the
holder of the run lock, and the cloud and the journal end as after a single clean run. A lock left by a
killed run is reported, refused and removed with `tidewall unlock`."""

import os
import signal

import pytest

from tidewall.sandbox.faults import FaultWorld, points_at

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    with FaultWorld(nat_gateways=3, workdir=str(tmp_path_factory.mktemp("races"))) as w:
        yield w


@pytest.fixture(scope="module")
def clean(world):
    """(ChildResult, EndState) of a clean execute, and the end state of the untouched VPC."""
    world.reset()
    untouched = world.end_state()
    run = world.run("execute")
    assert run.status == 0, run.stderr
    return run, world.end_state(), untouched


def refused_by(result, holder):
    """The refused run exited 2 before any change, naming the run that holds the lock."""
    assert result.status == 2, result.stderr
    assert f"(pid {holder.pid})" in result.stderr and "is locked by" in result.stderr
    assert "tidewall unlock --config" in result.stderr
    # Refused before anything else: the lock's put was its only change, and it failed.
    changing = [c.op for c in result.calls if c.op in ("PutObject", "DeleteObject", "DeleteNatGateway")]
    assert changing == ["PutObject"], result.calls


def race(world, first, second, held_at):
    """Run `second` to its end while `first` stands stopped (it sends itself SIGSTOP) right after its call
    `held_at`, then let `first` go on. Both results.

    Holding the first run there, rather than sleeping, keeps the race the same on a loaded machine: the
    first cannot finish (and release its lock) before the second has even started; and it stops between
    two calls, so no request of it is left half-sent.
    """
    a = world.spawn(*first, stop=held_at)
    try:
        assert a.wait_until_stopped(), a.wait().stderr
        b = world.spawn(*second).wait()
    finally:
        os.kill(a.pid, signal.SIGCONT)
    return a.wait(), b


@pytest.mark.parametrize("second", [("execute",), ("revert",)], ids=["execute", "revert"])
@pytest.mark.parametrize(
    "held_at",
    # Just after the run lock was taken (the first PutObject), and once the first NAT gateway is gone.
    ["after:PutObject#1", "after:DeleteNatGateway#1"],
    ids=["lock-just-taken", "mid-way"],
)
def test_two_commands_at_once_one_runs_the_other_is_refused(world, clean, second, held_at):
    clean_run, migrated, _untouched = clean
    world.reset()
    ran, refused = race(world, ("execute",), second, points_at(clean_run.calls, held_at)[0])

    assert (ran.status, refused.status) == (0, 2), (ran.stderr, refused.stderr)
    refused_by(refused, ran)
    assert migrated.differences(world.end_state()) == []


def test_a_lock_left_by_a_killed_run_is_reported_refused_and_removed(world, clean):
    clean_run, migrated, _ = clean
    world.reset()
    killed = world.run("execute", kill=points_at(clean_run.calls, "after:create_multicloud_ha_gateway#1")[0])
    assert killed.killed
    holder = world.lock_holder()
    assert holder is not None and holder.pid == killed.pid and holder.command == "execute"

    status = world.run("status")
    assert (
        status.status == 0
        and f"LOCKED by execute by {holder.user}@{holder.host} (pid {killed.pid})" in status.stdout
    )
    before = world.end_state()
    dry = world.run("execute", "--dry-run")
    assert dry.status == 0 and f"lock id {holder.lock_id}" in dry.stderr
    refused = world.run("execute")
    refused_by(refused, killed)
    assert f"--lock-id {holder.lock_id}" in refused.stderr
    assert world.end_state() == before  # neither the dry run nor the refused run changed anything

    other_id = "0" * 32 if holder.lock_id != "0" * 32 else "1" * 32
    wrong = world.run("unlock", "--lock-id", other_id, "--yes")
    assert wrong.status == 2 and "refusing to unlock" in wrong.stderr and world.lock_holder() == holder
    unasked = world.run("unlock", "--lock-id", holder.lock_id)  # no terminal to ask on, no --yes
    assert unasked.status == 2 and "pass --yes" in unasked.stderr and world.lock_holder() == holder
    assert world.run("unlock", "--lock-id", holder.lock_id, "--yes").status == 0
    assert world.lock_holder() is None
    assert world.run("execute").status == 0
    assert migrated.differences(world.end_state()) == []


def test_sigterm_releases_the_lock(world, clean):
    clean_run, _migrated, _ = clean
    world.reset()
    child = world.spawn("execute")
    assert child.wait_for_calls(points_at(clean_run.calls, "after:DeleteNatGateway#1")[0].k)
    child.proc.terminate()
    result = child.wait()
    assert result.status == 143, result.stderr
    assert world.lock_holder() is None
    assert world.run("execute").status == 0
