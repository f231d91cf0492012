"""What an operator sees on a served sandbox VPC: the plan (read-only, and true to what execute then does),
the JSON objects of status, execute and revert, and the word where one is due."""

import json

import pytest
import yaml
from handover_support import as_new_process

from tidewall import cli, runner
from tidewall.lib import s3

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


def config_file(vpc, tmp_path, **overrides):
    data = dict(vpc.config, **overrides)
    path = tmp_path / f"config-{vpc.vpc_id}.yaml"
    path.write_text(yaml.safe_dump(data))
    return str(path)


def tidewall_json(capsys, *argv):
    """(exit status, the one JSON object on standard output, standard error)."""
    as_new_process()
    try:
        yes = ["--yes"] if argv[0] in ("execute", "revert") else []
        status = cli.main(list(argv) + yes + ["--output", "json"])
    finally:
        s3.clear_registry()
    captured = capsys.readouterr()
    data = json.loads(captured.out)
    assert runner.json_problems(data) == []  # one schema of field names for every command
    return status, data, captured.err


def real_egress(vpc):
    """Private route table id -> the IP its traffic leaves with now (None: no live target)."""
    egress = vpc.egress()
    natgw_ips = {n[0]: n[1] for found in egress.natgws.values() for n in found}
    spoke_ips = {s.instance_id: s.public_ip for spokes in egress.spokes.values() for s in spokes}
    out = {}
    for table, (kind, target) in egress.routes.items():
        out[table] = (
            natgw_ips.get(target) if kind == "nat" else spoke_ips.get(target) if kind == "instance" else None
        )
    return out


def planned_after(plan, group):
    (found,) = [g for g in plan["groups"] if g["group"] == group]
    return {rtb: (e["egress_ip"] if e else None) for rtb, e in found["egress_after"].items()}


class TestPlan:
    def test_lists_every_step_and_egress_and_changes_nothing(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path)
        before = vpc.observe()
        vpc.ctl.clear_requests()
        status, plan, _err = tidewall_json(capsys, "plan", "--config", path)
        assert status == 0
        assert vpc.observe() == before
        assert vpc.changing_requests() == []
        assert vpc.s3_keys() == [] and vpc.local_text("command_history.json") is None

        zones = vpc.zones
        rtb = {z.az: z.private_route_table_id for z in zones}
        a, b, c = (rtb[z.az] for z in zones)
        assert plan["source"] == "discovery" and plan["steps_in_effect"] == 0 and plan["steps_done"] == []
        assert [n["nat_gw_id"] for n in plan["natgws"]] == [z.nat_gateway_id for z in zones]
        assert [[s["code"] for s in n["steps"]] for n in plan["natgws"]] == [
            ["A1", "A2", "A3", "A4", "A5", "A6", "R"],
            ["B1", "B2"],
            ["B1", "B2"],
        ]
        assert {t["route_table_id"] for t in plan["route_tables"]} == {a, b, c}
        assert [g["group"] for g in plan["groups"]] == [0, 1, 2]

        group0 = plan["groups"][0]["steps"]
        a2 = next(s for s in group0 if s["code"] == "A2")
        assert a2["egress_changes"] == {
            a: {
                "kind": "nat_gateway",
                "target": zones[1].nat_gateway_id,
                "egress_ip": zones[1].eip,
                "secondary_egress_ips": [],
                "own_zone": False,
            }
        }
        a4 = next(s for s in group0 if s["code"] == "A4")["resources"]
        assert (a4["role"], a4["subnet_id"], a4["eip"], a4["size"]) == (
            "primary",
            zones[0].public_subnet_id,
            zones[0].eip,
            "c5.large",
        )
        assert a4["tag"] == "env:integration,team:netops"
        assert planned_after(plan, 0) == {a: zones[1].eip, b: zones[1].eip, c: zones[2].eip}
        assert planned_after(plan, 1) == {a: zones[0].eip, b: zones[1].eip, c: zones[2].eip}
        assert planned_after(plan, 2) == {a: zones[0].eip, b: zones[1].eip, c: zones[2].eip}
        gaps = {
            (g["route_table_id"], g["from"]["natgw"], g["from"]["code"], g["until"]["code"])
            for g in plan["gaps"]
        }
        # Each route is parked on the primary before its NAT gateway goes (egress.keep, the default).
        assert gaps == set() and set(plan["expected_gap_s"].values()) == {0}
        assert plan["natgws_left_alone"] == []

    def test_is_what_execute_then_does_and_resumes_from_the_journal(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path)
        _status, fresh, _err = tidewall_json(capsys, "plan", "--config", path)
        assert vpc.run(cmdcnt=1) == 0
        assert real_egress(vpc) == planned_after(fresh, 0)

        _status, resumed, _err = tidewall_json(capsys, "plan", "--config", path)
        assert resumed["source"] == "journal" and resumed["steps_in_effect"] == 6
        assert [g["group"] for g in resumed["groups"]] == [1, 2]
        zone_a = next(
            t for t in resumed["route_tables"] if t["route_table_id"] == vpc.zones[0].private_route_table_id
        )
        assert zone_a["now"]["egress_ip"] == vpc.zones[1].eip and zone_a["now"]["own_zone"] is False
        assert planned_after(resumed, 2) == planned_after(fresh, 2)

        assert vpc.run() == 0
        assert real_egress(vpc) == planned_after(fresh, 2)
        _status, done, _err = tidewall_json(capsys, "plan", "--config", path)
        assert done["complete"] is True and done["groups"] == []

    def test_dry_run_prints_the_plan_first_and_says_would(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path)
        before = vpc.observe()
        as_new_process()
        assert cli.main(["execute", "--config", path, "--dry-run", "--stop-before", "7"]) == 0
        s3.clear_registry()
        captured = capsys.readouterr()
        assert captured.out.startswith(f"Plan for {vpc.vpc_id}")
        assert "Group 2 (NAT gateway 2" in captured.out  # nothing held back
        assert (
            "WARN  --stop-before 7 is beyond the last NAT gateway (3 NAT gateways, numbered 0 to 2)"
            in captured.err
        )
        assert "Would route " in captured.err and "  Route rtb-" not in captured.err
        # Every change says "would", the spoke module's lines too.
        for line in ("- Dry run: would deploy primary spoke", "- Dry run: would enable Single IP SNAT"):
            assert line in captured.err
        assert "- Deploy " not in captured.err and "- Enable " not in captured.err
        assert "Operation:" not in captured.err and "Memento history" not in captured.err
        assert vpc.observe() == before


class TestRunOutputs:
    def test_execute_and_revert_end_with_one_json_object(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path)
        status, out, err = tidewall_json(capsys, "execute", "--config", path, "--stop-before", "1")
        assert (status, out["result"], out["exit_status"]) == (0, "stopped", 0)
        assert [s["code"] for s in out["steps_done"]] == ["A1", "A2", "A3", "A4", "A5", "A6"]
        assert [s["code"] for s in out["steps_pending"]] == ["B1", "B2", "B1", "B2", "R"]
        assert [n["index"] for n in out["natgws_replaced"]] == [0]
        # After the handover's own last line: what is done, where zone a's traffic leaves now, how to go on.
        after = err.split("- Terminate with command count 1", 1)[1]
        assert "Stopped before NAT gateway 1 as asked: 6 of 11 steps done; NAT gateway 0 replaced" in after
        zone_a = vpc.zones[0].private_route_table_id
        assert any(
            zone_a in line and "NAT gateway 1 in" in line and "another zone's EIP" in line
            for line in after.splitlines()
        )
        assert f"To go on: `tidewall execute --config {path}` (resumes at NAT gateway 1)" in after

        status, out, _err = tidewall_json(capsys, "execute", "--config", path)
        assert (status, out["result"]) == (0, "done")
        assert [s["code"] for s in out["steps_done"]] == ["B1", "B2", "B1", "B2", "R"]
        assert out["steps_pending"] == [] and len(out["natgws_replaced"]) == 3

        requests = len(vpc.ctl.requests)
        status, out, err = tidewall_json(capsys, "execute", "--config", path)
        assert (status, out["result"], out["reason"]) == (0, "nothing_to_do", "migration already complete")
        assert "migration already complete" in err and "No Natgw found" not in err
        assert len(vpc.ctl.requests) == requests  # not even a login

        status, out, err = tidewall_json(capsys, "revert", "--config", path)
        assert (status, out["result"]) == (0, "done")
        assert [s["code"] for s in out["steps_done"]][:3] == ["R", "B2", "B1"] and len(
            out["steps_done"]
        ) == 11
        assert out["steps_pending"] == [] and out["natgws_replaced"] == []
        assert "{'return'" not in err and "Operation:" not in err
        vpc.assert_reverted()

        status, out, err = tidewall_json(capsys, "revert", "--config", path)
        assert (status, out["result"], out["reason"]) == (0, "nothing_to_do", "nothing to revert")
        assert "nothing to revert" in err

    def test_a_rollback_says_so_and_why(self, vpc, tmp_path, capsys):
        # A route table (no subnet: the controller leaves it alone) whose default route leads to an interface
        # that no longer exists: the acceptance test of the first spoke fails on it.
        ec2 = vpc.aws.client("ec2")
        table = ec2.create_route_table(VpcId=vpc.vpc_id)["RouteTable"]["RouteTableId"]
        eni = ec2.create_network_interface(SubnetId=vpc.zones[0].private_subnet_id)["NetworkInterface"]
        ec2.create_route(
            RouteTableId=table, DestinationCidrBlock="0.0.0.0/0", NetworkInterfaceId=eni["NetworkInterfaceId"]
        )
        ec2.delete_network_interface(NetworkInterfaceId=eni["NetworkInterfaceId"])
        # (a failing test is looked at again for a second, not for the two minutes a real cloud may need)
        path = config_file(vpc, tmp_path, enable_test=True, waits={"acceptance_test": 1})
        status, out, err = tidewall_json(capsys, "execute", "--config", path)
        assert (status, out["result"], out["exit_status"]) == (1, "rolled_back", 1)
        assert out["reason"].startswith(
            "Acceptance test of spoke egress-spoke failed: check private_default_routes"
        )
        assert table in out["reason"] and eni["NetworkInterfaceId"] in out["reason"]
        assert "CorvaneRollbackException" not in err  # the bare exception line is for -v and the log file
        assert [s["code"] for s in out["steps_done"]] == ["T"]

    def test_a_refusal_is_reported_as_json_too(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path, spoke_gw_tag="env,prod,team")
        vpc.ctl.clear_requests()
        status, out, err = tidewall_json(capsys, "execute", "--config", path)
        assert (status, out["result"], out["exit_status"]) == (2, "refused", 2)
        assert "spoke_gw_tag" in out["reason"] and err.count("spoke_gw_tag") == 1
        assert vpc.ctl.requests == [] and vpc.s3_keys() == []

    def test_a_held_lock_is_named_as_such(self, vpc, tmp_path, capsys):
        from tidewall.lib.lock import RunLock

        path = config_file(vpc, tmp_path)
        lock = RunLock(vpc.aws.client("s3"), vpc.seeded.bucket, vpc.prefix, vpc.vpc_id, "revert")
        holder = lock.acquire()
        try:
            status, out, _err = tidewall_json(capsys, "execute", "--config", path)
        finally:
            lock.release()
        assert (status, out["result"]) == (2, "refused")
        assert out["error"]["kind"] == "lock_held" and out["error"]["lock"] == holder.to_record()
        status, out, _err = tidewall_json(capsys, "execute", "--config", path, "--stop-before", "1")
        assert (status, out["result"], out["error"]) == (0, "stopped", None)
        config_file(vpc, tmp_path, spoke_gw_tag="a,b,c")
        status, out, _err = tidewall_json(capsys, "execute", "--config", path)
        assert (status, out["result"], out["error"]["kind"]) == (2, "refused", "refused")


class TestStatusNow:
    def test_shows_what_is_there_now_beside_the_journal(self, vpc, tmp_path, capsys):
        path = config_file(vpc, tmp_path)
        assert vpc.run(cmdcnt=1) == 0
        status, out, _err = tidewall_json(capsys, "status", "--config", path)
        assert status == 0 and out["live"] == {"aws": "ok", "controller": "ok"}
        n0, n1 = out["natgws"][0], out["natgws"][1]
        assert n0["replaced_by_journal"] and n0["now"]["nat_gateways"] == []
        assert n0["now"]["spoke"]["public_ip"] == vpc.zones[0].eip
        assert (
            n1["now"]["nat_gateways"][0]["nat_gw_id"] == vpc.zones[1].nat_gateway_id
            and n1["now"]["spoke"] is None
        )
        assert [s["code"] for s in out["steps_pending"]] == ["B1", "B2", "B1", "B2", "R"]

        assert vpc.run("revert") == 0
        _status, out, _err = tidewall_json(capsys, "status", "--config", path)
        now = out["natgws"][0]["now"]["nat_gateways"][0]
        assert (
            now["nat_gw_id"] != out["natgws"][0]["recorded"]["nat_gw_id"] and now["eip"] == vpc.zones[0].eip
        )

    def test_an_unreachable_controller_is_marked(self, vpc, tmp_path, capsys):
        assert vpc.run(cmdcnt=1) == 0
        path = config_file(vpc, tmp_path, controller_ip="127.0.0.1:9")
        as_new_process()
        assert cli.main(["status", "--config", path]) == 0
        s3.clear_registry()
        out = capsys.readouterr().out
        assert "controller unreachable" in out and "spoke UNREACHABLE" in out
