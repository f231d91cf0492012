"""A journal that names what this migration does not own is refused by `revert` and `execute` with exit status
2 and nothing changed, in AWS or on the controller: another VPC's route table in a snapshot, a route to an
instance that is no spoke of the migration, a gateway the migration never created, a journal copied from
another VPC's prefix, a signature that does not match. A rollback counts a failing check as a failed
restore."""

import json
import logging
import os

import pytest
import yaml
from handover_support import ACCOUNT, as_new_process, tamper_with_new_digest

from tidewall import cli
from tidewall.commands import journal_trust, restore_checks
from tidewall.lib.spoke import HsSpokeCreateMemento
from tidewall.sandbox.run import failing_acceptance_test

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

KEY_ENV = "TIDEWALL_TRUST_TEST_KEY"
FILES = ("memento_history.json", "command_history.json")


def cli_run(vpc, tmp_path, capsys, *args):
    """`tidewall COMMAND ARGS --config FILE` as a new process would run it: (exit status, stderr)."""
    config = tmp_path / f"config-{vpc.vpc_id}.yaml"
    config.write_text(yaml.safe_dump(vpc.config))
    as_new_process()
    capsys.readouterr()
    try:
        yes = ["--yes"] if args[0] in cli.CONFIRMED_COMMANDS else []
        status = cli.main([*args, *yes, "--config", str(config)])
    finally:
        as_new_process()
        logging.getLogger().handlers[:] = [
            h for h in logging.getLogger().handlers if not getattr(h, "_tidewall_console", False)
        ]
    return status, capsys.readouterr().err


def replace_journal(vpc, text, name="memento_history.json"):
    """S3 holds `text`; this machine has no local copy of the file (so S3's is taken)."""
    vpc.put_s3_text(text, name)
    path = os.path.join(vpc.folder, name)
    if os.path.exists(path):
        os.unlink(path)


def snapshot_route(body):
    first = body["entries"][0]
    assert first["class"].endswith("SnapshotRTMemento")
    return first["state"]["routes"][0]


def intruder_instance(vpc):
    """An instance in the VPC that is no gateway of the migration."""
    ec2 = vpc.aws.client("ec2")
    image = ec2.describe_images()["Images"][0]["ImageId"]
    subnet = vpc.zones[2].private_subnet_id
    return ec2.run_instances(ImageId=image, MinCount=1, MaxCount=1, SubnetId=subnet)["Instances"][0][
        "InstanceId"
    ]


def refused_everywhere(vpcs, tmp_path, capsys, expect, commands=("revert", "execute")):
    """Each command exits 2 naming `expect`, and neither VPC nor the controller changed."""
    main = vpcs[0]
    before = [v.observe() for v in vpcs]
    main.ctl.clear_requests()
    for command in commands:
        status, err = cli_run(main, tmp_path, capsys, command)
        assert status == 2, (command, err)
        assert expect in err, (command, err)
        assert [v.observe() for v in vpcs] == before, command
        assert main.changing_requests() == [], command


class TestTamperedJournal:
    def test_a_route_table_of_another_vpc_in_a_snapshot(self, seed, tmp_path, capsys):
        a, b = seed(), seed()
        assert a.run(cmdcnt=1) == 0
        foreign = b.zones[0].private_route_table_id

        def edit(body):
            snapshot_route(body)["route_table_id"] = foreign

        replace_journal(a, tamper_with_new_digest(a.s3_text(), edit))
        refused_everywhere(
            [a, b], tmp_path, capsys, f"{foreign} is a route table of {b.vpc_id}, not of {a.vpc_id}"
        )

    def test_a_route_to_an_instance_that_is_no_spoke(self, vpc, tmp_path, capsys):
        assert vpc.run(cmdcnt=1) == 0
        intruder = intruder_instance(vpc)

        def edit(body):
            route = snapshot_route(body)
            route.update(target_kind="instance", target_id=intruder)
            route.pop("nat_subnet_id", None)

        replace_journal(vpc, tamper_with_new_digest(vpc.s3_text(), edit))
        refused_everywhere([vpc], tmp_path, capsys, f"would go to {intruder}, which is not a spoke gateway")

    def test_a_gateway_the_migration_never_created(self, seed, tmp_path, capsys):
        a, b = seed(), seed()
        assert a.run(cmdcnt=1) == 0
        a.ctl.add_gateway(
            "someone-elses-gateway", subnet_cidr=b.zones[0].public_cidr, vpc_id=b.vpc_id, account_name=ACCOUNT
        )
        added = HsSpokeCreateMemento({"gw_name": "someone-elses-gateway"})

        def edit(body):
            body["entries"].append(
                {"class": "tidewall.lib.spoke.HsSpokeCreateMemento", "state": added.toDict(), "begin": False}
            )

        replace_journal(a, tamper_with_new_digest(a.s3_text(), edit))
        refused_everywhere(
            [a, b], tmp_path, capsys, f"'someone-elses-gateway' is a controller gateway in {b.vpc_id}"
        )
        assert "someone-elses-gateway" in a.ctl.gateways

    def test_a_journal_copied_from_another_vpc(self, seed, tmp_path, capsys):
        a, b = seed(), seed()
        assert b.run(cmdcnt=1, spoke_gw_name="other-spoke") == 0
        for name in FILES:
            a.put_s3_text(b.s3_text(name), name)
        refused_everywhere(
            [a, b], tmp_path, capsys, f"this journal belongs to account {ACCOUNT!r}, VPC {b.vpc_id!r}"
        )
        status, err = cli_run(a, tmp_path, capsys, "status")
        assert status == 2 and f"vpc_id {b.vpc_id!r} (configured {a.vpc_id!r})" in err

    def test_a_signature_that_does_not_match(self, vpc, tmp_path, capsys, monkeypatch):
        monkeypatch.setenv(KEY_ENV, "journal-key-7f3a")
        assert vpc.run(cmdcnt=1, journal_key_env=KEY_ENV) == 0
        signed = json.loads(vpc.s3_text())
        assert signed["signature"]["alg"] == "HMAC-SHA256" and signed["owner"]["vpc_id"] == vpc.vpc_id

        def edit(body):
            snapshot_route(body)["destination"] = "10.99.0.0/16"

        replace_journal(vpc, tamper_with_new_digest(vpc.s3_text(), edit))
        refused_everywhere([vpc], tmp_path, capsys, "the journal's signature does not match")

    def test_an_older_signed_copy_is_refused(self, vpc, tmp_path, capsys, monkeypatch):
        monkeypatch.setenv(KEY_ENV, "journal-key-7f3a")
        assert vpc.run(cmdcnt=1, journal_key_env=KEY_ENV) == 0
        older = vpc.s3_text()
        status, err = cli_run(vpc, tmp_path, capsys, "execute", "--yes", "--stop-before", "2")
        assert status == 0, err
        replace_journal(vpc, older)
        refused_everywhere([vpc], tmp_path, capsys, "is lower than")
        fresh_machine(vpc)  # no record on this machine: the run lock's record refuses it
        refused_everywhere([vpc], tmp_path, capsys, "the one the last locked write of this journal produced")


def fresh_machine(vpc):
    """No local copy of the journal and no record of having seen it: a machine that never ran this VPC."""
    import shutil

    shutil.rmtree(vpc.folder, ignore_errors=True)
    seen = journal_trust.seen_path_for(vpc.folder)
    if os.path.exists(seen):
        os.unlink(seen)


def first(body, kind):
    return next(e["state"] for e in body["entries"] if e["class"].endswith(kind))


def with_private_natgw(vpc):
    """The on-premises route 172.16.0.0/12 of every private table through a private NAT gateway."""
    with vpc.aws.worlds[vpc.seeded.region].instant():
        vpc.aws._seed_private_natgw(vpc.aws.client("ec2"), vpc.seeded)


def route_to(vpc, table, destination):
    return {"route_table_id": table, "destination_key": "DestinationCidrBlock", "destination": destination}


# Each forgery edits only the bucket: (name, set-up before the run, edit of the memento history, edit of the
# command history or None, what the refusal names).
FORGERIES = [
    (
        "a firewall route of an untouched table sent to a NAT gateway",
        None,
        lambda vpc, body: first(body, "SnapshotRTMemento")["routes"].append(
            {
                **route_to(vpc, vpc.zones[1].public_route_table_id, "0.0.0.0/0"),
                "target_kind": "nat_gateway",
                "target_id": vpc.zones[1].nat_gateway_id,
                "nat_subnet_id": vpc.zones[1].public_subnet_id,
            }
        ),
        None,
        "a route no step of this migration changes",
    ),
    (
        "the on-premises route moved off the private NAT gateway",
        with_private_natgw,
        lambda vpc, body: first(body, "NatGwDeleteMemento")["routes"].append(
            route_to(vpc, vpc.zones[2].private_route_table_id, "172.16.0.0/12")
        ),
        None,
        "is not a route this migration moved",
    ),
    (
        "a route created where none was",
        None,
        lambda vpc, body: first(body, "NatGwTrafficMemento")["routes"].append(
            route_to(vpc, vpc.zones[2].private_route_table_id, "172.16.5.0/24")
        ),
        None,
        "does not exist and the route-table backup shows no such route",
    ),
    (
        "a spare Elastic IP of the account for the recreated NAT gateway",
        None,
        lambda vpc, body: first(body, "NatGwDeleteMemento").update(
            secondary_eips=[vpc.aws.client("ec2").allocate_address(Domain="vpc")["PublicIp"]]
        ),
        None,
        "not Elastic IPs the NAT gateway of",
    ),
    (
        "the discovery and the journal moving a NAT gateway to another subnet",
        None,
        lambda vpc, body: first(body, "NatGwDeleteMemento").update(subnet_id=vpc.zones[0].private_subnet_id),
        lambda vpc, body: body["commands"][0]["natgws"][0].update(subnet_id=vpc.zones[0].private_subnet_id),
        "but AWS has it in",
    ),
]


class TestForgeries:
    @pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
    @pytest.mark.parametrize(
        "setup, edit, edit_discovery, expect", [f[1:] for f in FORGERIES], ids=[f[0] for f in FORGERIES]
    )
    def test_a_bucket_writer_is_refused_on_a_fresh_machine(
        self, vpc, tmp_path, capsys, monkeypatch, signed, setup, edit, edit_discovery, expect
    ):
        if setup is not None:
            setup(vpc)
        if signed:
            monkeypatch.setenv(KEY_ENV, "journal-key-7f3a")
            vpc.config["journal_key_env"] = KEY_ENV
        assert vpc.run(cmdcnt=1) == 0
        vpc.put_s3_text(tamper_with_new_digest(vpc.s3_text(), lambda body: edit(vpc, body)))
        if edit_discovery is not None:
            name = "command_history.json"
            vpc.put_s3_text(tamper_with_new_digest(vpc.s3_text(name), lambda b: edit_discovery(vpc, b)), name)
        fresh_machine(vpc)
        # Signed, the forger cannot sign: the signature fails first. Unsigned, the checks name the forgery.
        refused_everywhere([vpc], tmp_path, capsys, "signature does not match" if signed else expect)

    def test_a_stripped_signature_is_refused_everywhere_until_adopted(
        self, vpc, tmp_path, capsys, monkeypatch
    ):
        monkeypatch.setenv(KEY_ENV, "journal-key-7f3a")
        assert vpc.run(cmdcnt=1, journal_key_env=KEY_ENV) == 0
        for name in FILES:
            stripped = {k: v for k, v in json.loads(vpc.s3_text(name)).items() if k != "signature"}
            vpc.put_s3_text(tamper_with_new_digest(json.dumps(stripped), lambda body: None), name)
        fresh_machine(vpc)
        refused_everywhere([vpc], tmp_path, capsys, "is not signed, but journal_key_env is configured")
        assert cli_run(vpc, tmp_path, capsys, "adopt")[0] == 2  # no terminal, no --yes
        status, _err = cli_run(vpc, tmp_path, capsys, "adopt", "--yes")
        assert status == 0 and "signature" in json.loads(vpc.s3_text())
        assert cli_run(vpc, tmp_path, capsys, "revert", "--yes")[0] == 0
        vpc.assert_reverted()


class TestDryRunRevert:
    def test_lists_every_finding_and_changes_nothing(self, seed, tmp_path, capsys):
        a, b = seed(), seed()
        assert a.run(cmdcnt=2) == 0
        foreign_table = b.zones[0].private_route_table_id
        foreign_subnet = b.zones[1].public_subnet_id

        def edit(body):
            snapshot_route(body)["route_table_id"] = foreign_table
            delete = next(e for e in body["entries"][3:] if e["class"].endswith("NatGwDeleteMemento"))
            delete["state"]["subnet_id"] = foreign_subnet

        replace_journal(a, tamper_with_new_digest(a.s3_text(), edit))
        before = a.observe(), b.observe()
        status, err = cli_run(a, tmp_path, capsys, "revert", "--dry-run")
        assert status == 2
        assert f"journal slot 0 (SnapshotRTMemento): routes[0].route_table_id {foreign_table}" in err
        assert f"(NatGwDeleteMemento): subnet_id {foreign_subnet} is a subnet of {b.vpc_id}" in err
        assert f"subnet_id {foreign_subnet} is not the subnet of a NAT gateway this migration replaces" in err
        assert (a.observe(), b.observe()) == before


class TestRollback:
    def test_a_failing_check_counts_as_a_failed_restore(self, vpc, monkeypatch):
        original = restore_checks._Session.problems

        def problems(self, class_name, state):
            if class_name.endswith("SnatEnableMemento"):
                return ["routes[0] made up to fail"]
            return original(self, class_name, state)

        monkeypatch.setattr(restore_checks._Session, "problems", problems)
        with failing_acceptance_test(0):
            assert vpc.run(enable_test=True) == 1

        errors = [r.getMessage() for r in vpc.caplog.records if r.levelno == logging.ERROR]
        assert any(
            "Journal check: journal slot 6 (SnatEnableMemento): routes[0] made up to fail" in e
            for e in errors
        )
        # Nothing of the group was undone: the SNAT step stays journalled, the rollback is on record.
        entries = [e["class"].rsplit(".", 1)[1] for e in json.loads(vpc.s3_text())["entries"]]
        assert entries[-1] == "SnatEnableMemento" and len(entries) == 7
        assert json.loads(vpc.s3_text())["in_progress"]["kind"] == "rollback"
        assert vpc.gateways()["egress-spoke"][4] is True  # SNAT still on
