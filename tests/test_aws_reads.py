"""What a run reads from AWS once and hands out again, and what it must read again: EC2 answers kept until
something changes them, the NAT gateways' metrics in few calls, the backup prefix read once per command and
stored only where S3 lacks a file."""

import datetime
import os

import boto3
import pytest

from aws_fixtures import build_vpc, mocked_aws, put_natgw_metrics
from tidewall.core.ConfigAdaptor import BackupDescriptor
from tidewall.lib import ec2_reads, gateway_size, s3
from tidewall.lib.commonlib import Common
from tidewall.lib.gateway_size import DetermineGwSizeCmd
from tidewall.lib.natgw import get_natgw_by_subnet, known_natgw, routes_to_natgw
from tidewall.lib.s3 import S3BackupCmdV2


@pytest.fixture
def aws(monkeypatch):
    with mocked_aws(monkeypatch) as manager:
        yield manager


def counting(client):
    calls = []
    client.meta.events.register("before-call.*.*", lambda model, **_: calls.append(model.name))
    return calls


class TestEc2AnswersKeptUntilAChange:
    def test_refresh_of_every_record_is_one_describe_and_sees_each_change(self, aws):
        ec2 = aws.ec2
        vpc = build_vpc(ec2)
        calls = counting(ec2)
        for subnet in vpc.public_subnets * 2:
            get_natgw_by_subnet(ec2, subnet, vpc.vpc_id)
        assert calls == ["DescribeNatGateways"]

        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[1])  # through the same client
        assert get_natgw_by_subnet(ec2, vpc.public_subnets[1], vpc.vpc_id) == []
        assert calls.count("DescribeNatGateways") == 2
        # Both are known from that second read, the deleted one as deleted.
        calls.clear()
        assert known_natgw(ec2, vpc.natgw_ids[0])["State"] == "available"
        assert known_natgw(ec2, vpc.natgw_ids[1])["State"] == "deleted"
        assert calls == []
        # A deletion drops only what it changed: the other NAT gateways are still known by id.
        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[2])
        assert known_natgw(ec2, vpc.natgw_ids[0])["State"] == "available"
        assert known_natgw(ec2, vpc.natgw_ids[2])["State"] == "deleted"
        assert calls == ["DeleteNatGateway", "DescribeNatGateways"]

    def test_a_change_through_another_client_is_seen_after_a_controller_command(self, aws):
        ec2 = aws.ec2
        vpc = build_vpc(ec2)
        other = boto3.client("ec2", region_name="us-east-1")  # the controller's own credentials
        assert len(routes_to_natgw(ec2, vpc.vpc_id, vpc.natgw_ids[0])) == 1
        other.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=vpc.natgw_ids[1]
        )
        Common.logOperation("NatGwCmd")  # a host command keeps what was read
        assert len(routes_to_natgw(ec2, vpc.vpc_id, vpc.natgw_ids[0])) == 1
        Common.logOperation("HsSpokeCmd")  # a controller command: routes are read again
        assert routes_to_natgw(ec2, vpc.vpc_id, vpc.natgw_ids[0]) == []

    def test_answers_in_motion_are_not_kept(self):
        states = iter(["pending", "available"])

        class Ec2:
            calls = 0

            def describe_nat_gateways(self, **_):
                Ec2.calls += 1
                return {"NatGateways": [{"NatGatewayId": "nat-1", "State": next(states)}]}

        client = Ec2()
        from tidewall.lib.natgw import describe_natgw

        assert ec2_reads.known_natgw(client, "nat-1", describe_natgw)["State"] == "pending"
        assert ec2_reads.known_natgw(client, "nat-1", describe_natgw)["State"] == "available"
        assert ec2_reads.known_natgw(client, "nat-1", describe_natgw)["State"] == "available"
        assert Ec2.calls == 2


class TestSizing:
    def test_the_busier_direction_decides(self, aws):
        ec2, cw = aws.ec2, aws.cw
        vpc = build_vpc(ec2, zones=2)
        put_natgw_metrics(cw, vpc.natgw_ids[0], {1: 40})  # 40 Mbit/s out, nothing back
        put_natgw_metrics(cw, vpc.natgw_ids[1], {1: 40})
        when = datetime.datetime.now(datetime.UTC) - datetime.timedelta(days=1, minutes=7)
        for name in ("BytesInFromDestination", "BytesOutToSource"):  # 400 Mbit/s of downloads
            cw.put_metric_data(
                Namespace="AWS/NATGateway",
                MetricData=[
                    {
                        "MetricName": name,
                        "Dimensions": [{"Name": "NatGatewayId", "Value": vpc.natgw_ids[1]}],
                        "Timestamp": when,
                        "Value": 400 * 1_000_000 / 8 * gateway_size.PERIOD_SECONDS,
                        "Unit": "Bytes",
                    }
                ],
            )
        natgws = [
            {"NatGatewayId": n, "SubnetId": s} for n, s in zip(vpc.natgw_ids, vpc.public_subnets, strict=True)
        ]
        cmd = DetermineGwSizeCmd(ec2, cw, 2, natgws)
        cmd.execute()
        assert [round(cmd.peaks[n]["mbps"]) for n in vpc.natgw_ids] == [40, 400]
        assert [r["size"] for r in cmd.getNatGwInfo()] == ["t3.small", "c5.large"]

    def test_one_busy_minute_in_five_sizes_on_its_peak(self, aws, caplog):
        ec2, cw = aws.ec2, aws.cw
        vpc = build_vpc(ec2, zones=1)
        when = datetime.datetime.now(datetime.UTC).replace(second=0, microsecond=0) - datetime.timedelta(
            hours=2
        )
        # 600 Mbit/s for one minute of a five-minute window: 120 Mbit/s on average.
        value = 600 * 1_000_000 / 8 * 60
        data = [
            {
                "MetricName": name,
                "Dimensions": [{"Name": "NatGatewayId", "Value": vpc.natgw_ids[0]}],
                "Timestamp": when + datetime.timedelta(seconds=5),
                "Value": value,
                "Unit": "Bytes",
            }
            for name in ("BytesOutToDestination", "BytesInFromSource")
        ]
        cw.put_metric_data(Namespace="AWS/NATGateway", MetricData=data)
        caplog.set_level("INFO", logger="tidewall.lib.gateway_size")
        cmd = DetermineGwSizeCmd(
            ec2, cw, 1, [{"NatGatewayId": vpc.natgw_ids[0], "SubnetId": vpc.public_subnets[0]}]
        )
        [record] = cmd.execute()
        assert (record["peak_mbps"], record["size"]) == (600.0, "c5.xlarge")
        assert "peak 600.0 Mbit/s (busier direction), peak 0 connections, 60 s periods" in caplog.text

    def test_metrics_of_every_nat_gateway_in_as_few_calls_as_the_query_limit_allows(self):
        class Cw:
            def __init__(self):
                self.calls = []

            def get_metric_data(self, MetricDataQueries, StartTime, EndTime, NextToken=None):  # noqa: N803
                self.calls.append((len(MetricDataQueries), NextToken))
                ids = [q["Id"] for q in MetricDataQueries]
                assert len(set(ids)) == len(ids) <= gateway_size.MAX_QUERIES
                page = {"MetricDataResults": []}
                if NextToken is None:  # a second page for every batch, with the connection counts
                    page["NextToken"] = "more"
                    values = [(q["Id"], 1e9) for q in MetricDataQueries if q["MetricStat"]["Stat"] == "Sum"]
                else:
                    values = [
                        (q["Id"], 7.0) for q in MetricDataQueries if q["MetricStat"]["Stat"] == "Maximum"
                    ]
                now = datetime.datetime.now(datetime.UTC)
                page["MetricDataResults"] = [{"Id": i, "Timestamps": [now], "Values": [v]} for i, v in values]
                return page

        class Ec2:
            def get_paginator(self, _name):
                class P:
                    def paginate(self, SubnetIds):  # noqa: N803
                        return [{"Subnets": [{"SubnetId": s, "CidrBlock": "10.0.0.0/24"} for s in SubnetIds]}]

                return P()

        cw = Cw()
        natgws = [{"NatGatewayId": f"nat-{i}", "SubnetId": f"subnet-{i}"} for i in range(120)]
        cmd = DetermineGwSizeCmd(Ec2(), cw, 2, natgws)
        cmd.execute()
        # 120 NAT gateways x 5 metrics = 600 queries: two batches, each read in two pages.
        assert cw.calls == [(500, None), (500, "more"), (100, None), (100, "more")]
        assert all(
            p == {"mbps": 1e9 * 8 / gateway_size.PERIOD_SECONDS / 1e6, "connections": 7.0}
            for p in cmd.peaks.values()
        )


BUCKET = "tidewall-backup"
PREFIX = "tidewall-backups/acct/vpc-1"


class TestBackupPrefixReadOnce:
    @pytest.fixture
    def bucket(self, aws, tmp_path):
        client = boto3.client("s3", region_name="us-east-1")
        client.create_bucket(Bucket=BUCKET)
        client.put_object(Bucket=BUCKET, Key=f"{PREFIX}/command_history.json", Body=b"c")
        return client, counting(client), tmp_path

    def test_one_read_per_command_and_later_downloads_see_what_it_stored(self, bucket):
        client, calls, tmp_path = bucket
        scratch = BackupDescriptor(str(tmp_path / "scratch"), BUCKET, PREFIX)
        real = BackupDescriptor(str(tmp_path / "real"), BUCKET, PREFIX)
        with s3.download_once():
            assert S3BackupCmdV2(client, scratch).download() == ["command_history.json"]
            assert calls == ["ListObjectsV2", "GetObject"]
            S3BackupCmdV2(client, real).download()
            with open(os.path.join(real.getAbsolutePath(), "memento_history.json"), "wb") as f:
                f.write(b"m")
            s3.write_through(real.getAbsolutePath(), "memento_history.json")
            assert S3BackupCmdV2(client, real).download() == ["command_history.json", "memento_history.json"]
        assert calls == ["ListObjectsV2", "GetObject", "PutObject"]
        S3BackupCmdV2(client, real).download()  # outside the block: S3 is read again
        assert calls[3:] == ["ListObjectsV2", "GetObject", "GetObject"]

    def test_upload_stores_only_what_s3_does_not_hold(self, bucket):
        client, calls, tmp_path = bucket
        des = BackupDescriptor(str(tmp_path / "real"), BUCKET, PREFIX)
        folder = des.getAbsolutePath()
        S3BackupCmdV2(client, des).download()
        for name, body in (("memento_history.json", b"1"), ("rt_snapshot_s1.json", b"s")):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(body)
        s3.write_through(folder, "memento_history.json")
        with open(os.path.join(folder, "memento_history.json"), "wb") as f:
            f.write(b"2")  # changed again after its write-through
        calls.clear()
        assert S3BackupCmdV2(client, des).upload() == ["memento_history.json", "rt_snapshot_s1.json"]
        assert calls == ["PutObject", "PutObject"]
        assert S3BackupCmdV2(client, des).upload() == []

    def test_a_missing_bucket_is_named_by_the_listing(self, aws, tmp_path):
        client = boto3.client("s3", region_name="us-east-1")
        des = BackupDescriptor(str(tmp_path / "x"), "no-such-bucket", PREFIX)
        with pytest.raises(s3.S3BackupError, match="'no-such-bucket' does not exist"):
            S3BackupCmdV2(client, des).download()
