"""The command line's checks before a first run: a VPC that is not there (wrong region, unknown id) or has
fewer than two NAT gateways is refused with exit status 2 before anything is written, locally or in S3."""

import os

import pytest
import yaml

from tidewall import cli

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


def run_cli(vpc, tmp_path, command="execute", **overrides):
    config = dict(vpc.config, **overrides)
    path = tmp_path / "config.yaml"
    path.write_text(yaml.safe_dump(config))
    yes = ["--yes"] if command in cli.CONFIRMED_COMMANDS else []
    return cli.main([command, *yes, "--config", str(path)])


def bucket_keys(vpc):
    reply = vpc.aws.client("s3").list_objects_v2(Bucket=vpc.seeded.bucket)
    return [o["Key"] for o in reply.get("Contents", [])]


@pytest.mark.parametrize(
    "nat_gateways, overrides, message",
    [
        (3, {"region": "us-west-2"}, "{vpc} not found in us-west-2"),
        (3, {"vpc_id": "vpc-0badc0ffee0000000"}, "vpc-0badc0ffee0000000 not found in us-east-1"),
        (1, {}, "{vpc} has 1 available NAT gateway; at least 2 are needed"),
        (0, {}, "{vpc} has 0 available NAT gateways; at least 2 are needed"),
    ],
    ids=["wrong-region", "unknown-vpc", "one-nat-gateway", "no-nat-gateway"],
)
def test_a_first_run_that_cannot_migrate_is_refused_and_writes_nothing(
    seed, tmp_path, capsys, nat_gateways, overrides, message
):
    vpc = seed(nat_gateways)
    before = vpc.egress().key()
    vpc.ctl.clear_requests()

    assert run_cli(vpc, tmp_path, **overrides) == 2

    err = capsys.readouterr().err
    assert f"tidewall: {message.format(vpc=vpc.vpc_id)}" in err.splitlines()
    assert bucket_keys(vpc) == []  # no journal, no lock left behind
    assert not os.path.exists(os.path.dirname(vpc.folder))  # no local folder either
    assert vpc.ctl.requests == []  # not even a login
    assert vpc.egress().key() == before

    if "not found" in message:
        # plan and status refuse a VPC that is not there as execute does, in the same line.
        for command in ("plan", "status"):
            assert run_cli(vpc, tmp_path, command=command, **overrides) == 2
            assert capsys.readouterr().err.splitlines() == [f"tidewall: {message.format(vpc=vpc.vpc_id)}"]
    else:
        # `status` says no migration is recorded.
        assert run_cli(vpc, tmp_path, command="status", **overrides) == 0
        assert "No migration recorded yet" in capsys.readouterr().out
    assert bucket_keys(vpc) == []
