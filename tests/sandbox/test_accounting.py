"""Cost meter: outside calls counted by operation/action, the sandbox's own calls left out."""

import boto3
import botocore.client
import pytest
import requests
from botocore.exceptions import ClientError

from tidewall.sandbox.accounting import CostMeter, excluded

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


def _tool_client(sandbox, service="ec2"):
    """A client made the way the tool makes its own: a plain boto3 session, nothing marked."""
    return boto3.session.Session(region_name=sandbox.region).client(
        service, endpoint_url=sandbox.endpoint_url
    )


class TestAwsCalls:
    def test_counts_by_operation_for_clients_old_and_new(self, sandbox):
        before = _tool_client(sandbox)
        with CostMeter() as meter:
            before.describe_vpcs()
            before.describe_vpcs()
            _tool_client(sandbox, "s3").list_buckets()
            boto3.client("ec2", region_name=sandbox.region).describe_subnets()  # default session
        report = meter.report()
        assert report.aws_calls == {"ec2:DescribeVpcs": 2, "s3:ListBuckets": 1, "ec2:DescribeSubnets": 1}
        assert report.aws_total == 4
        assert set(report.aws_seconds) == set(report.aws_calls)
        assert report.wall_seconds >= report.waiting_seconds > 0

    def test_failed_calls_count_too(self, sandbox):
        with CostMeter() as meter, pytest.raises(ClientError):
            _tool_client(sandbox).describe_addresses(PublicIps=["203.0.113.9"])
        assert meter.report().aws_calls == {"ec2:DescribeAddresses": 1}

    def test_sandbox_calls_are_left_out(self, sandbox):
        tool = _tool_client(sandbox)
        with CostMeter() as meter:
            sandbox.client("ec2").describe_vpcs()  # marked client
            with excluded():
                tool.describe_vpcs()  # excluded block
            tool.describe_subnets()
        report = meter.report()
        assert report.aws_calls == {"ec2:DescribeSubnets": 1}
        assert report.excluded_aws_calls == 2

    def test_nothing_is_counted_outside_the_block(self, sandbox):
        original = botocore.client.BaseClient._make_api_call
        with CostMeter() as meter:
            assert botocore.client.BaseClient._make_api_call is not original
        assert botocore.client.BaseClient._make_api_call is original
        _tool_client(sandbox).describe_vpcs()
        assert meter.report().aws_total == 0


class TestControllerRequests:
    def test_counts_by_action_from_form_and_query(self, controller):
        url = f"https://{controller.address}/v2/api"
        with CostMeter() as meter:
            requests.post(url, data={"action": "list_vpcs_summary", "CID": "x"}, verify=False)
            requests.get(url, params={"action": "list_vpcs_summary", "CID": "x"}, verify=False)
            with requests.Session() as session:
                session.post(url, data={"action": "get_gateway_info", "CID": "x"}, verify=False)
        report = meter.report()
        assert report.controller_requests == {"list_vpcs_summary": 2, "get_gateway_info": 1}
        assert report.controller_total == 3
        assert report.aws_total == 0
        assert report.to_dict()["controller"]["requests"] == {"get_gateway_info": 1, "list_vpcs_summary": 2}

    def test_gateway_creation_counts_one_request_and_none_of_the_clouds_calls(
        self, controller, sandbox, world, ec2
    ):
        controller.cloud = sandbox.cloud()
        controller.add_account("sandbox")
        zone = world.zones[0]
        form = {
            "action": "create_multicloud_primary_gateway",
            "CID": controller.issue_cid("admin"),
            "cloud_type": "1",
            "account_name": "sandbox",
            "vpc_id": world.vpc_id,
            "vpc_region": world.region,
            "gw_name": "spoke",
            "gw_size": "t3.small",
            "gw_subnet": zone.public_cidr,
            "eip": zone.eip,
        }
        url = f"https://{controller.address}/v2/api"
        with CostMeter() as meter:
            refused = requests.post(url, data=form, verify=False).json()
            _tool_client(sandbox).delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
            created = requests.post(url, data=form, verify=False).json()
        assert refused["return"] is False and "in use" in refused["reason"]
        assert created["return"] is True, created
        report = meter.report()
        assert report.controller_requests == {"create_multicloud_primary_gateway": 2}
        assert report.aws_calls == {"ec2:DeleteNatGateway": 1}
        assert report.excluded_aws_calls > 0
        assert controller.gateways["spoke"].public_ip == zone.eip
