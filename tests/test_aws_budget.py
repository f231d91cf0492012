"""What a migration asks of AWS, on the sandbox: no more calls than the work needs (counted, not timed), and
nothing the shipped IAM policy does not allow."""

import json
import os
import re

import pytest

from tidewall import cli
from tidewall.runner import run_command
from tidewall.sandbox.accounting import CostMeter
from tidewall.sandbox.run import aws_call_budget
from tidewall.sandbox.services import Services

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

POLICY = os.path.join(os.path.dirname(__file__), "..", "docs", "iam-policy.json")

# botocore operations whose IAM action has another name; every other one is "<service>:<operation>".
IAM_ACTION = {
    "s3:ListObjectsV2": "s3:ListBucket",
    "s3:ListObjects": "s3:ListBucket",
    "s3:HeadBucket": "s3:ListBucket",
    "s3:HeadObject": "s3:GetObject",
}


def iam_action(operation):
    return IAM_ACTION.get(operation, operation)


def allowed_actions():
    with open(POLICY, encoding="utf-8") as f:
        policy = json.load(f)
    actions = set()
    for statement in policy["Statement"]:
        assert statement["Effect"] == "Allow" and statement["Resource"], statement
        listed = statement["Action"]
        actions.update([listed] if isinstance(listed, str) else listed)
    return policy, actions


@pytest.mark.parametrize(
    "nat_gateways, keep_egress", [(2, True), (3, True), (6, True), (3, False), (6, False)]
)
def test_an_execute_makes_at_most_8n_plus_20_aws_calls(tmp_path, nat_gateways, keep_egress):
    """8N+20 for the work; keeping egress up adds two route moves and one look at the spokes per NAT
    gateway and the resize's guard (3N+4), and nothing when it is off."""
    with Services(str(tmp_path), nat_gateways=nat_gateways, keep_egress=keep_egress) as services:
        with CostMeter() as meter:
            assert run_command("execute", services.config_path) == 0
    report = meter.report()
    assert report.aws_total <= aws_call_budget(nat_gateways, keep_egress), report.aws_calls
    # Per NAT gateway one deletion; the backup prefix is read once; nothing is stored twice at the end.
    calls = report.aws_calls
    assert calls["ec2:DeleteNatGateway"] == nat_gateways
    assert calls["s3:ListObjectsV2"] == 1 and "s3:HeadBucket" not in calls
    assert calls["cloudwatch:GetMetricData"] == 1 and calls["ec2:DescribeSubnets"] == 1


def test_every_call_of_execute_revert_and_status_is_allowed_by_the_iam_policy(tmp_path, capsys):
    policy, allowed = allowed_actions()
    # Pasteable: every action fully named, no wildcard; the backup bucket is the one placeholder.
    assert all(re.fullmatch(r"[a-z0-9]+:[A-Z][A-Za-z0-9]+", a) for a in allowed), sorted(allowed)
    s3_resources = {
        s["Resource"] for s in policy["Statement"] if all(a.startswith("s3:") for a in s["Action"])
    }
    assert s3_resources == {"arn:aws:s3:::BACKUP-BUCKET", "arn:aws:s3:::BACKUP-BUCKET/*"}

    recorded = set()
    with Services(str(tmp_path), nat_gateways=3, enable_test=True) as services:
        config = services.config_path
        for argv in (["status"], ["execute", "--yes"], ["status"], ["revert", "--yes"], ["status"]):
            with CostMeter() as meter:
                assert cli.main([*argv, "--config", config]) == 0, capsys.readouterr().err
            recorded |= set(meter.report().aws_calls)
    assert {"ec2:DeleteNatGateway", "ec2:CreateNatGateway", "s3:PutObject"} <= recorded
    refused = sorted(op for op in recorded if iam_action(op) not in allowed)
    assert refused == [], f"calls the IAM policy does not allow: {refused}"
