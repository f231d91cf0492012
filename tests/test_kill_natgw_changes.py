"""SIGKILL around the changes whose undo is put on record first: a NAT gateway's deletion and the traffic
move. A resumed execute ends as a clean run does; a revert after the kill ends as a clean revert does (every
NAT gateway back with its Elastic IP, routes on the NAT gateway of their zone)."""

import pytest

from tidewall.sandbox.faults import FaultWorld, kill_anywhere, points_at, remove_stale_lock

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

# Before a deletion the undo is on record and nothing is deleted yet; after it, the NAT gateway is deleted
# and its memento not yet appended. The same for the move of NAT gateway 0's routes.
AROUND_THE_CHANGES = (
    "before:DeleteNatGateway#1",
    "after:DeleteNatGateway#2",
    "before:ReplaceRoute#1",
    "after:ReplaceRoute#1",
)


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    with FaultWorld(nat_gateways=3, workdir=str(tmp_path_factory.mktemp("natgw-kills"))) as w:
        yield w


def test_execute_killed_around_a_deletion_or_the_move_converges(world):
    clean = kill_anywhere(world, "execute", points=[])
    sweep = kill_anywhere(
        world,
        "execute",
        points_at(clean.clean.calls, *AROUND_THE_CHANGES),
        clean=(clean.clean, clean.clean_state),
    )
    assert sweep.cases and all(case.reached for case in sweep.cases), sweep.report()
    assert sweep.failures() == [], sweep.report()


def test_revert_after_an_execute_killed_after_a_deletion_restores_every_nat_gateway(world):
    def migrated(w):
        assert w.run("execute").status == 0

    clean = kill_anywhere(world, "revert", points=[], prepare=migrated)
    reverted = clean.clean_state
    assert [z.eip_holder for z in reverted.zones] == [("natgw", z.az) for z in reverted.zones]
    world.reset()
    execute_calls = world.run("execute").calls
    for named in ("after:DeleteNatGateway#1", "after:DeleteNatGateway#3"):
        world.reset()
        [point] = points_at(execute_calls, named)
        killed = world.run("execute", kill=point)
        assert killed.killed and remove_stale_lock(world, killed) == []
        result = world.run("revert")
        assert result.status == 0, result.stderr
        assert reverted.differences(world.end_state()) == [], named
