"""Order of every observable access of Manager: adaptor reads, record key lookups and Globals
reads/writes interleaved with the outside calls, as Python evaluates the equivalent statements
(callee first, then the arguments from left to right)."""

import pytest

from tidewall.core.exceptions import CorvaneRollbackException

PREPARATION = [
    "ConfigAdaptor(config)",
    "AwsClientManager(config)",
    "Globals.aws_client_manager = clientMgr",
    "clientMgr.getEc2Client()",
    "clientMgr.getCwClient()",
    "clientMgr.getS3Client()",
    "ca.controller_password_env",
    "ca.controller_ip",
    "ca.controller_user",
    "getCid('10.0.0.5:443', 'admin', 'pw-1')",
    "Globals.CID = 'CID-1'",
    "ca.controller_ip",
    "Globals.controller_ip = '10.0.0.5:443'",
    "CreateCorvaneAccount(ca)",
    "CreateCorvaneAccount.execute()",
    "ca.backup_descriptor",
    "S3BackupCmdV2(s3, des)",
    "S3BackupCmdV2.download()",
    "des.getAbsolutePath()",
    "ca.vpc_id",
    "CommandHistory.init('/backup/vpc-1', 'vpc-1', version='v2')",
    "ca.spoke_gw_tag",
    "CommandHistory.is_command_i_done(0)",
]


def discovery(spokes, limit_read):
    return [
        "ca.vpc_id",
        "get_existing_natgws(ec2, None, 'vpc-1')",
        "ca.hs_mode",
        *(["Globals.HS_LIMIT"] if limit_read else []),
        "ca.vpc_id",
        "ca.tag_route_table",
        "backupAllRtbs(ec2, '/backup/vpc-1', 'vpc-1', False, ['nat-0', 'nat-1', 'nat-2'], version='v2')",
        f"DetermineGwSizeCmd(ec2, cw, {spokes}, nat_gws)",
        "DetermineGwSizeCmd.execute()",
        "DetermineGwSizeCmd.getNatGwInfo()",
        "CommandHistory.log_discover_natgw_cmd(infos)",
    ]


REFRESH = ["CommandHistory.get_discovered_natgws()"] + [
    line
    for i in range(3)
    for line in (f"record[{i}]['subnet_id']", "ca.vpc_id", f"get_natgw_by_subnet(ec2, 'subnet-{i}', 'vpc-1')")
]

OPEN_HISTORY = ["MementoHistory.init('/backup/vpc-1')", "MementoHistory.is_memento_exist()"]


TEST_TARGETS = [
    {
        "nat_gw_id": f"nat-{i}b",
        "gw_name": f"nat-{i}b",
        "gw_public_ip": f"3.0.{i}.11",
        "gw_private_ip": f"10.0.{i}.11",
        "gw_subnet_id": f"subnet-{i}",
    }
    for i in range(3)
]


def target_reads():
    return [
        f"record[{i}]['{key}']"
        for i in range(3)
        for key in ("nat_gw_id", "nat_gw_id", "eip", "private_ip", "subnet_id")
    ]


def snapshot(tag, begin):
    mark = ", MarkBegin=True" if begin else ""
    label = "A1" if tag == "s1" else "A5"
    return [
        "next -> False",
        "ca.vpc_id",
        "ca.s3_bucket",
        f"SnapshotRTCmd(ec2, '/backup/vpc-1', 'vpc-1', infos, 'bucket-1', tag='{tag}', version='v2')",
        "SnapshotRTCmd.execute()",
        f"MementoHistory.append({label}{mark})",
    ]


def spoke(i, primary):
    label = "A4" if primary else f"B2[{i}]"
    size_key, size = ("initial_size", "t3.small") if primary else ("size", "t3.large")
    return [
        "next -> False",
        "ca.aws_account_name",
        "ca.spoke_gw_name",
        "ca.spoke_gw_size",
        "ca.vpc_id",
        "ca.region",
        f"HsSpokeCmd('acct-1', 'spoke-gw', None, 'vpc-1', 'us-east-1', primary={primary})",
        f"record[{i}]['subnet_cidr']",
        f"record[{i}]['eip']",
        f"record[{i}]['{size_key}']",
        f"HsSpokeCmd.create('10.0.{i}.0/24', '3.0.{i}.11', '{size}', tag=None)",
        f"{label}.getSpokeInfo()",
        f"MementoHistory.append({label})",
    ]


def deletion(i, label, begin):
    mark = ", MarkBegin=True" if begin else ""
    return [
        "next -> False",
        "ca.vpc_id",
        "NatGwCmd(ec2, 'vpc-1', '/backup/vpc-1', version='v2')",
        f"NatGwCmd.delete(record[{i}])",
        f"MementoHistory.append({label}{mark})",
    ]


def acceptance_test(label):
    return [
        "ca.enable_test",
        "ca.input_test_config",
        "ca.output_test_config",
        f"Test.generate_test_config('test-in', 'test-out', {{'gw_name': 'spoke-{label}'}})",
        "Test.run_test()",
    ]


def loop_head(cmdcnt_reads=1):
    return ["ca.hs_mode"] + ["Globals.cmdcnt"] * cmdcnt_reads


NAT_GATEWAY_0 = [
    *snapshot("s1", True),
    "next -> False",
    "record[0]['nat_gw_id']",
    "record[0]['subnet_id']",
    "ca.vpc_id",
    "NatGwTrafficCmd(ec2, 'nat-0b', 'subnet-0', 'vpc-1', '/backup/vpc-1', tag='s1')",
    "record[1]['subnet_id']",
    "NatGwTrafficCmd.moveTraffic('subnet-1')",
    "MementoHistory.append(A2)",
    *deletion(0, "A3", False),
    *spoke(0, True),
    *snapshot("s2", False),
    "next -> False",
    "ca.spoke_gw_name",
    "SnatCmd('spoke-gw')",
    "SnatCmd.enable()",
    "MementoHistory.append(A6)",
]

RESIZE = [
    "ca.spoke_gw_size",
    "record[0]['size']",
    "record[0]['initial_size']",
    "next -> False",
    "ca.spoke_gw_name",
    "record[0]['initial_size']",
    "record[0]['size']",
    "ResizeSpokeGatewayCmd('spoke-gw', 't3.small', 't3.large')",
    "ResizeSpokeGatewayCmd.execute()",
    "MementoHistory.append(R)",
]

UPLOAD = ["S3BackupCmdV2(s3, des)", "S3BackupCmdV2.upload()"]


@pytest.fixture
def traced(world, handover, monkeypatch):
    return world.traced(handover, monkeypatch)


class TestExecuteTrace:
    def test_first_run_with_acceptance_test(self, Manager, traced):
        traced.fields["enable_test"] = True
        Manager.execute(traced.config)
        assert traced.log == [
            *PREPARATION,
            *discovery(3, limit_read=False),
            *REFRESH,
            *OPEN_HISTORY,
            "ca.enable_test",
            "next -> False",
            "ca.input_test_config",
            "ca.output_test_config",
            *target_reads(),
            f"TestCmd('test-in', 'test-out', {TEST_TARGETS!r})",
            "TestCmd.execute()",
            "MementoHistory.append(T)",
            *loop_head(),
            *NAT_GATEWAY_0,
            *acceptance_test("A4"),
            *loop_head(),
            *deletion(1, "B1[1]", True),
            *spoke(1, False),
            *acceptance_test("B2[1]"),
            *loop_head(),
            *deletion(2, "B1[2]", True),
            *spoke(2, False),
            *acceptance_test("B2[2]"),
            *RESIZE,
            *UPLOAD,
        ]

    def test_command_count(self, Manager, traced):
        traced.Globals.cmdcnt = 2
        traced.log.clear()
        Manager.execute(traced.config)
        assert traced.log == [
            *PREPARATION,
            *discovery(3, limit_read=False),
            *REFRESH,
            *OPEN_HISTORY,
            "ca.enable_test",
            *loop_head(cmdcnt_reads=2),
            *NAT_GATEWAY_0,
            "ca.enable_test",
            *loop_head(cmdcnt_reads=2),
            *deletion(1, "B1[1]", True),
            *spoke(1, False),
            "ca.enable_test",
            *loop_head(cmdcnt_reads=3),  # two for the condition, one for the line
            *UPLOAD,
        ]

    def test_hs_mode_1(self, Manager, traced):
        traced.fields["hs_mode"] = 1
        Manager.execute(traced.config)
        assert traced.log == [
            *PREPARATION,
            *discovery(2, limit_read=True),
            *REFRESH,
            *OPEN_HISTORY,
            "ca.enable_test",
            *loop_head(),
            *NAT_GATEWAY_0,
            "ca.enable_test",
            *loop_head(),
            *deletion(1, "B1[1]", True),
            *spoke(1, False),
            "ca.enable_test",
            "ca.hs_mode",  # record 2: skipped before the command count is read
            *RESIZE,
            *UPLOAD,
        ]

    def test_rollback(self, Manager, traced):
        traced.fields["enable_test"] = True
        traced.test_results = [True, False]
        with pytest.raises(SystemExit):
            Manager.execute(traced.config)
        tail = traced.log[traced.log.index("MementoHistory.append(B2[1])") + 1 :]
        assert tail == [
            *acceptance_test("B2[1]"),
            "MementoHistory.isEmpty()",
            "MementoHistory.isCmdBegin()",
            "MementoHistory.pop()",
            "B2[1].restore()",
            "MementoHistory.isEmpty()",
            "MementoHistory.isCmdBegin()",
            "MementoHistory.pop()",
            "B1[1].restore()",
            *UPLOAD,
            "exit(1)",
        ]


class TestRevertTrace:
    def test_revert(self, Manager, traced):
        traced.preload(["A1"])
        Manager.revert(traced.config)
        assert traced.log == [
            "ConfigAdaptor(config)",
            "ca.controller_password_env",
            "AwsClientManager(config)",
            "Globals.aws_client_manager = clientMgr",
            "clientMgr.getS3Client()",
            "ca.controller_ip",
            "ca.controller_user",
            "getCid('10.0.0.5:443', 'admin', 'pw-1')",
            "Globals.CID = 'CID-1'",
            "ca.controller_ip",
            "Globals.controller_ip = '10.0.0.5:443'",
            "CreateCorvaneAccount(ca)",
            "CreateCorvaneAccount.execute()",
            "ca.backup_descriptor",
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.download()",
            "des.getAbsolutePath()",
            "MementoHistory.init('/backup/vpc-1')",
            "MementoHistory.isEmpty()",
            "MementoHistory.isCmdBegin()",
            "MementoHistory.pop()",
            "A1.restore()",
            "MementoHistory.isEmpty()",
            *UPLOAD,
        ]


class TestFirstMissingKeyRaises:
    """A record missing several keys raises the KeyError of the one Python looks up first."""

    def missing(self, world, infos, index, *keys):
        world.ec2_natgws.pop(f"subnet-{index}")  # nothing refreshes the record
        for key in keys:
            del infos[index][key]

    @pytest.mark.parametrize(
        "index, keys, first",
        [
            (0, ("subnet_cidr", "eip", "initial_size"), "subnet_cidr"),
            (0, ("eip", "initial_size"), "eip"),
            (1, ("eip", "size"), "eip"),
        ],
    )
    def test_spoke_creation(self, Manager, world, index, keys, first):
        self.missing(world, world.discovered, index, *keys)
        with pytest.raises(KeyError) as info:
            Manager.execute(world.config)
        assert info.value.args == (first,)
        assert world.log[-1].startswith("HsSpokeCmd(")

    def test_traffic_move(self, Manager, world):
        self.missing(world, world.discovered, 0, "nat_gw_id")
        with pytest.raises(KeyError) as info:
            Manager.execute(world.config)
        assert info.value.args == ("nat_gw_id",)
        assert world.log[-2:] == ["MementoHistory.append(A1, MarkBegin=True)", "next -> False"]

    def test_test_targets(self, Manager, world):
        world.fields["enable_test"] = True
        self.missing(world, world.discovered, 1, "private_ip", "eip")
        with pytest.raises(KeyError) as info:
            Manager.execute(world.config)
        assert info.value.args == ("eip",)

    def test_resize_condition(self, Manager, world):
        world.resumed()
        world.preload(["A1", "A2", "A3", "A4", "A5", "A6", "B1[1]", "B2[1]", "B1[2]", "B2[2]"])
        self.missing(world, world.recorded, 0, "initial_size", "size")
        with pytest.raises(KeyError) as info:
            Manager.execute(world.config)
        assert info.value.args == ("size",)
        assert world.count("S3BackupCmdV2.upload") == 0


class TestPythonOperators:
    def test_sizes_compared_with_not_equal(self, Manager, world):
        class Size(str):
            # equal to everything, yet "!=" answers true: only the != operator decides
            def __eq__(self, other):
                return True

            def __ne__(self, other):
                return True

            __hash__ = str.__hash__

        same = Size("t3.small")
        world.discovered[0]["initial_size"] = same
        world.discovered[0]["size"] = same
        Manager.execute(world.config)
        assert world.held()[-1] == "R"

    def test_tag_membership_uses_python_in(self, Manager, world):
        class Tags:
            """Iterable tag list without __contains__: `in` falls back to iteration."""

            def __len__(self):
                return 1

            def __iter__(self):
                return iter([":"])

        tags = Tags()
        world.fields["spoke_gw_tag"] = tags
        Manager.execute(world.config)
        assert all(kwargs["tag"] is tags for _, kwargs in world.raw["HsSpokeCmd.create"])


class TestExitThatReturns:
    """With an `exit` that returns (a recording stand-in), the run goes on as Python would."""

    def test_rollback_goes_on_to_the_normal_end(self, Manager, world, monkeypatch):
        import builtins

        monkeypatch.setattr(builtins, "exit", lambda code: world.note("exit", code))
        world.failures["B1[1]"] = CorvaneRollbackException("deletion refused")
        assert Manager.execute(world.config) is None
        assert world.log[-5:] == [
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.upload()",
            "exit(1)",
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.upload()",
        ]
