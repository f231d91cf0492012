"""Kill-anywhere in a world where EC2 behaves as the real one (deletions free Elastic IPs and blackhole
routes, creates are invisible for a moment), every change instant: a fixed sample of the points between a
change and its record, for execute and revert; the full sweep is benchmarks/bench_kill_anywhere.py."""

import pytest

from tidewall.sandbox.clock import Durations
from tidewall.sandbox.faults import FaultWorld, kill_anywhere, points_at

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


def migrated(world):
    assert world.run("execute").status == 0


def test_execute_and_revert_killed_between_a_change_and_its_record_converge(tmp_path):
    with FaultWorld(nat_gateways=2, workdir=str(tmp_path), durations=Durations.instant()) as world:
        clean = kill_anywhere(world, "execute", points=[])
        assert {z.eip_holder[0] for z in clean.clean_state.zones} == {"spoke"}
        points = points_at(
            clean.clean.calls, "after:DeleteNatGateway#2", "after:create_multicloud_ha_gateway"
        )
        execute = kill_anywhere(world, "execute", points, clean=(clean.clean, clean.clean_state))

        clean = kill_anywhere(world, "revert", points=[], prepare=migrated)
        assert {z.eip_holder[0] for z in clean.clean_state.zones} == {"natgw"}
        points = points_at(clean.clean.calls, "after:CreateNatGateway#1", "after:delete_multicloud_gateway#1")
        revert = kill_anywhere(
            world, "revert", points, prepare=migrated, clean=(clean.clean, clean.clean_state)
        )
    for sweep in (execute, revert):
        assert all(case.reached for case in sweep.cases) and sweep.failures() == [], sweep.report()
