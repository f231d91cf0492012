"""What the C++ modules cost next to the same code in plain Python, measured side by side.

Every operation and command method of tidewall.lib.spoke and every method of
tidewall.commands.natgw_eip_handover.Manager runs next to its plain-Python twin
(benchmarks/twins/, written for this benchmark only) in the same process, with the same stand-ins:
an instant controller transport answering with ready decoded replies, trivial failure handlers,
and for Manager recording stand-ins for every framework name (AWS clients, histories, the AWS-side
commands, the spoke commands). Before anything is measured, each row is run once on both sides and
the stand-ins' records (requests, calls, log lines, results) must be equal.

Per row:
- instructions: callgrind's count for one call (a loop of --calls calls inside functools.reduce,
  collection toggled on that function only, less the same loop around an empty call), C++ and
  Python, and their ratio;
- wall: the ratio of the best per-call times of interleaved timing rounds (C++ / Python).
The imports are measured the same way: `import` of the module in a fresh interpreter that has
already imported what both sides import (the shared dependencies), so only the module's own load
counts.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_cost.py [--calls 200] [--rounds 9]
        [--rows REGEX] [--hash-seed 0] [--markdown]

Every measured interpreter runs with PYTHONHASHSEED fixed (--hash-seed): dict layouts, and with them
instruction counts, depend on it.

Needs valgrind (callgrind) on PATH. Exit status 1 when a row's instruction ratio is above 1.0.
"""

import argparse
import functools
import gc
import importlib
import importlib.util
import itertools
import json
import logging
import os
import py_compile
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "twins"))
sys.path.insert(0, str(HERE))

from tables import Table, add_markdown_option  # noqa: E402

URL = "https://controller.bench/v2/api"
CID = "bench-cid"
TARGET_RATIO = 1.0
ROWS_ENV = "BENCH_COST_ROWS"  # a regular expression: only the rows whose name it matches

# ---------------------------------------------------------------- spoke: stand-ins and rows

SUMMARY = {
    "gw_name": "p",
    "public_subnet": "10.0.1.0/24",
    "private_ip": "10.0.1.10",
    "public_ip": "198.51.100.10",
    "gw_subnet_id": "subnet-1",
    "hagw_details_list": [
        {
            "gw_name": "p-hagw",
            "public_subnet": "10.0.2.0/24",
            "private_ip": "10.0.2.10",
            "public_ip": "198.51.100.11",
            "gw_subnet_id": "subnet-2",
        }
    ],
}
ANSWERS = {
    "get_gateway_info": {
        "return": True,
        "results": {"gw_name": "p", "gw_subnet_cidr": "10.0.9.0/24", "vpc_size": "t3.small"},
    },
    "list_vpcs_summary": {"return": True, "results": [SUMMARY]},
    "list_primary_and_ha_spoke_gateways": {
        "return": True,
        "results": [{"name": "p"}, {"name": "p-hagw"}, {"name": "q"}],
    },
    "create_multicloud_ha_gateway": {"return": True, "results": "created", "ha_gw_name": "p-hagw"},
}
DEFAULT_ANSWER = {"return": True, "results": "done"}


class Reply:
    __slots__ = ("body",)

    def __init__(self, body):
        self.body = body

    def json(self):
        return self.body

    def __repr__(self):
        return f"Reply({self.body!r})"


class InstantTransport:
    """Stands in for `requests` (and `_send_corvane_api`): ready decoded answers, each request
    recorded."""

    def __init__(self):
        self.replies = {action: Reply(body) for action, body in ANSWERS.items()}
        self.default = Reply(DEFAULT_ANSWER)
        self.record = []

    def post(self, url, data=None, **kwargs):
        self.record.append(("POST", url, data))
        return self.replies.get(data["action"], self.default)

    def get(self, url, data=None, params=None, **kwargs):
        fields = data if data is not None else params
        self.record.append(("GET", url, fields))
        return self.replies.get(fields["action"], self.default)

    def send_corvane_api(self, api_endpoint_url, request_method, payload, keyword_for_log, indent):
        self.record.append(("API", api_endpoint_url, request_method, payload, keyword_for_log))
        return self.replies[payload["action"]]


def accepted(response):
    return True


class Log:
    """Stands in for `comm`: records the operation names."""

    def __init__(self, record):
        self.record = record

    def logOperation(self, name):
        self.record.append(("op", name))


def install_spoke_stand_ins(module, transport):
    module.requests = transport
    module._send_corvane_api = transport.send_corvane_api
    module.handleControllerApiFailure = accepted
    module.handleControllerApiFailureAndExit = accepted
    module.comm = Log(transport.record)


def nat(cidr, nat_id, size):
    return SimpleNamespace(subnet_cidr=cidr, nat_gw_id=nat_id, gateway_size=size)


def spoke_rows(s):
    nats = [nat("10.0.1.0/24", "nat-1", "t3.small"), nat("10.0.2.0/24", "nat-2", "t3.small")]
    hs_cmd = s.HsSpokeCmd("a", "p", None, "vpc", "r")
    ha_cmd = s.HsSpokeCmd("a", "p", None, "vpc", "r", primary=False)
    hs_memento = s.HsSpokeCreateMemento({"gw_name": "p-hagw"})
    deploy_hs = s.DeployHsSpokeGwCmd("a", "q", None, "vpc", "r", nats, 2)
    deploy_classic = s.DeployClassicSpokeGwCmd("a", "c", None, "vpc", "r", nats)
    snat_cmd = s.SnatCmd("p")
    snat_memento = s.SnatEnableMemento("p")
    resize_cmd = s.ResizeSpokeGatewayCmd("p", "t3.small", "t3.large")
    resize_memento = s.ResizeSpokeGatewayMemento("p", "t3.small", "t3.large")
    return [
        ("getSpokeInfo", lambda: s.getSpokeInfo(SUMMARY, "10.0.2.0/24")),
        ("list_gateway_info", lambda: s.list_gateway_info(URL, CID, "", "no", "p")),
        ("getSubnetWithSpokeGw", lambda: s.getSubnetWithSpokeGw(CID, URL, ["p", "p-hagw"])),
        ("changeSpokeSize", lambda: s.changeSpokeSize(CID, URL, "p", "t3.large")),
        ("deployClassicSpoke", lambda: s.deployClassicSpoke(CID, URL, "a", "c", None, "vpc", "r", nats)),
        (
            "deployPrimaryHsSpoke",
            lambda: s.deployPrimaryHsSpoke(CID, URL, "a", "p", "t3.small", "vpc", "r", "10.0.1.0/24"),
        ),
        (
            "deployHaHsSpoke",
            lambda: s.deployHaHsSpoke(CID, URL, "p", "t3.small", "10.0.2.0/24", eip="1.2.3.4"),
        ),
        ("deployHsSpoke", lambda: s.deployHsSpoke(CID, URL, "a", "q", None, "vpc", "r", nats, 2)),
        ("deleteSpoke", lambda: s.deleteSpoke(CID, URL, "c")),
        ("deleteHsSpoke", lambda: s.deleteHsSpoke(CID, URL, "p")),
        ("deleteAllHsSpokes", lambda: s.deleteAllHsSpokes(CID, URL, "p")),
        ("enableSNAT", lambda: s.enableSNAT("p", URL, CID)),
        ("disable_snat", lambda: s.disable_snat(CID, URL, "p")),
        ("HsSpokeCreateMemento()", lambda: s.HsSpokeCreateMemento({"gw_name": "p"})),
        ("HsSpokeCreateMemento.getSpokeInfo", lambda: hs_memento.getSpokeInfo()),
        ("HsSpokeCreateMemento.restore", lambda: hs_memento.restore()),
        ("HsSpokeCreateMemento.toDict", lambda: hs_memento.toDict()),
        ("HsSpokeCmd()", lambda: s.HsSpokeCmd("a", "p", None, "vpc", "r")),
        ("HsSpokeCmd._saveMememto", lambda: hs_cmd._saveMememto({"gw_name": "p"})),
        ("HsSpokeCmd.create (primary)", lambda: hs_cmd.create("10.0.1.0/24", "1.2.3.4", "t3", tag="k:v")),
        ("HsSpokeCmd.create (HA)", lambda: ha_cmd.create("10.0.2.0/24", "1.2.3.5", "t3")),
        ("HsSpokeCmd.delete", lambda: hs_cmd.delete()),
        ("DeployHsSpokeGwCmd()", lambda: s.DeployHsSpokeGwCmd("a", "q", None, "vpc", "r", nats, 2)),
        ("DeployHsSpokeGwCmd.execute", lambda: deploy_hs.execute()),
        ("DeployHsSpokeGwCmd.undo", lambda: deploy_hs.undo()),
        ("DeployHsSpokeGwCmd.save_backup", lambda: deploy_hs.save_backup()),
        ("DeployClassicSpokeGwCmd()", lambda: s.DeployClassicSpokeGwCmd("a", "c", None, "vpc", "r", nats)),
        ("DeployClassicSpokeGwCmd.execute", lambda: deploy_classic.execute()),
        ("DeployClassicSpokeGwCmd.undo", lambda: deploy_classic.undo()),
        ("SnatEnableMemento()", lambda: s.SnatEnableMemento("p")),
        ("SnatEnableMemento.restore", lambda: snat_memento.restore()),
        ("SnatEnableMemento.toDict", lambda: snat_memento.toDict()),
        ("SnatCmd()", lambda: s.SnatCmd("p")),
        ("SnatCmd._saveMemento", lambda: snat_cmd._saveMemento()),
        ("SnatCmd.enable", lambda: snat_cmd.enable()),
        ("SnatCmd.disable", lambda: snat_cmd.disable()),
        ("ResizeSpokeGatewayMemento()", lambda: s.ResizeSpokeGatewayMemento("p", "t3.small", "t3.large")),
        ("ResizeSpokeGatewayMemento.restore", lambda: resize_memento.restore()),
        ("ResizeSpokeGatewayMemento.toDict", lambda: resize_memento.toDict()),
        ("ResizeSpokeGatewayCmd()", lambda: s.ResizeSpokeGatewayCmd("p", "t3.small", "t3.large")),
        ("ResizeSpokeGatewayCmd._saveMemento", lambda: resize_cmd._saveMemento()),
        ("ResizeSpokeGatewayCmd.execute", lambda: resize_cmd.execute()),
    ]


# ---------------------------------------------------------------- Manager: recording stand-ins

NAT_GATEWAYS = 3


def nat_description(i):
    return {
        "NatGatewayId": f"nat-{i}",
        "SubnetId": f"subnet-{i}",
        "NatGatewayAddresses": [{"PrivateIp": f"10.0.{i}.5", "PublicIp": f"198.51.100.{i}"}],
    }


class Memento:
    __slots__ = ("label", "record", "spoke_info")

    def __init__(self, label, record, spoke_info=None):
        self.label = label
        self.record = record
        self.spoke_info = spoke_info

    def restore(self):
        self.record.append(("restore", self.label))

    def getSpokeInfo(self):
        return self.spoke_info

    def __repr__(self):
        return self.label


def make_world(record):
    """Stand-ins for every framework name Manager uses; each call leaves one entry in `record`."""
    put = record.append
    world = {}

    class Client:
        def __init__(self, name):
            self.name = name

        def __repr__(self):
            return self.name

    ec2, cw, s3 = Client("ec2"), Client("cw"), Client("s3")

    class AwsClientManager:
        def __init__(self, config):
            put(("AwsClientManager", config))

        def getEc2Client(self):
            return ec2

        def getCwClient(self):
            return cw

        def getS3Client(self):
            return s3

    class Descriptor:
        def getAbsolutePath(self):
            put(("getAbsolutePath",))
            return "/backup/vpc-1"

    descriptor = Descriptor()
    adaptor = SimpleNamespace(
        controller_ip="controller.bench",
        controller_user="admin",
        controller_password_env="BENCH_PASSWORD",
        aws_account_name="acct",
        region="r",
        vpc_id="vpc-1",
        s3_bucket="bucket",
        backup_descriptor=descriptor,
        spoke_gw_name="spoke",
        spoke_gw_size=None,
        spoke_gw_tag="k1,v1,k2,v2",
        hs_mode=2,
        tag_route_table=False,
        enable_test=False,
        input_test_config=None,
        output_test_config=None,
    )

    def ConfigAdaptor(config):
        put(("ConfigAdaptor", config))
        return adaptor

    def getCid(ip, user, password):
        put(("getCid", ip, user))
        return True, CID

    class CreateCorvaneAccount:
        def __init__(self, ca):
            pass

        def execute(self):
            put(("CreateCorvaneAccount.execute",))

    class S3BackupCmdV2:
        def __init__(self, client, des):
            pass

        def download(self):
            put(("download",))

        def upload(self):
            put(("upload",))

    state = {"infos": [], "mementos": [], "revert": False}

    class CommandHistory:
        @classmethod
        def init(cls, folder, vpc_id, version=None):
            put(("CommandHistory.init", folder, vpc_id, version))
            state["infos"] = []

        @classmethod
        def is_command_i_done(cls, i):
            return False

        @classmethod
        def log_discover_natgw_cmd(cls, infos):
            put(("log_discover_natgw_cmd", len(infos)))
            state["infos"] = infos

        @classmethod
        def get_discovered_natgws(cls):
            return state["infos"]

    class MementoHistory:
        @classmethod
        def init(cls, folder):
            put(("MementoHistory.init", folder))
            if state["revert"]:
                labels = ["A1", "A2", "A3", "A4", "A5", "A6"] + [
                    f"B{k}[{i}]" for i in range(1, NAT_GATEWAYS) for k in (1, 2)
                ]
                state["mementos"] = [(Memento(label, record), label in ("A1", "B1[1]")) for label in labels]
            else:
                state["mementos"] = []

        @classmethod
        def is_memento_exist(cls):
            return itertools.repeat(False)

        @classmethod
        def append(cls, memento, MarkBegin=False):
            put(("append", memento, MarkBegin))
            state["mementos"].append((memento, MarkBegin))

        @classmethod
        def isEmpty(cls):
            return not state["mementos"]

        @classmethod
        def isCmdBegin(cls):
            return state["mementos"][-1][1]

        @classmethod
        def pop(cls):
            return state["mementos"].pop()[0]

    def get_existing_natgws(client, ids, vpc_id):
        put(("get_existing_natgws", vpc_id))
        return [nat_description(i) for i in range(NAT_GATEWAYS)]

    def get_natgw_by_subnet(client, subnet_id, vpc_id):
        put(("get_natgw_by_subnet", subnet_id))
        return [nat_description(int(subnet_id.rsplit("-", 1)[1]))]

    def backupAllRtbs(client, folder, vpc_id, tag, ids, version=None):
        put(("backupAllRtbs", tuple(ids), version))

    class DetermineGwSizeCmd:
        def __init__(self, ec2_client, cw_client, num_of_spoke, nat_gws):
            self.nat_gws = nat_gws

        def execute(self):
            put(("DetermineGwSizeCmd.execute",))

        def getNatGwInfo(self):
            return [
                {
                    "subnet_id": g["SubnetId"],
                    "subnet_cidr": f"10.0.{i}.0/24",
                    "initial_size": "t3.small",
                    "size": "t3.large",
                    "nat_gw_id": g["NatGatewayId"],
                    "private_ip": "",
                    "eip": "",
                }
                for i, g in enumerate(self.nat_gws)
            ]

    class SnapshotRTCmd:
        def __init__(self, client, folder, vpc_id, infos, bucket, tag=None, version=None):
            self.tag = tag

        def execute(self):
            put(("snapshot", self.tag))
            return Memento(self.tag, record)

    class NatGwTrafficCmd:
        def __init__(self, client, nat_gw_id, subnet_id, vpc_id, folder, tag=None):
            self.nat_gw_id = nat_gw_id

        def moveTraffic(self, subnet_id):
            put(("moveTraffic", self.nat_gw_id, subnet_id))
            return Memento("A2", record)

    class NatGwCmd:
        def __init__(self, client, vpc_id, folder, version=None):
            pass

        def delete(self, rec):
            put(("NatGwCmd.delete", rec["nat_gw_id"]))
            return Memento("delete " + rec["nat_gw_id"], record)

    class HsSpokeCmd:
        def __init__(self, account, name, size, vpc_id, region, primary=True):
            self.primary = primary

        def create(self, subnet_cidr, eip, size, ha_gw_name=None, tag=None):
            put(("HsSpokeCmd.create", self.primary, subnet_cidr, eip, size, tag))
            return Memento("spoke " + subnet_cidr, record, {"gw_name": "spoke"})

    class SnatCmd:
        def __init__(self, name):
            pass

        def enable(self):
            put(("SnatCmd.enable",))
            return Memento("A6", record)

    class ResizeSpokeGatewayCmd:
        def __init__(self, name, from_size, to_size):
            self.sizes = (from_size, to_size)

        def execute(self):
            put(("resize",) + self.sizes)
            return Memento("R", record)

    def not_called(*args, **kwargs):
        raise AssertionError("not called on the measured path")

    world.update(
        AwsClientManager=AwsClientManager,
        ConfigAdaptor=ConfigAdaptor,
        getCid=getCid,
        CreateCorvaneAccount=CreateCorvaneAccount,
        S3BackupCmdV2=S3BackupCmdV2,
        CommandHistory=CommandHistory,
        MementoHistory=MementoHistory,
        get_existing_natgws=get_existing_natgws,
        get_natgw_by_subnet=get_natgw_by_subnet,
        backupAllRtbs=backupAllRtbs,
        DetermineGwSizeCmd=DetermineGwSizeCmd,
        SnapshotRTCmd=SnapshotRTCmd,
        NatGwTrafficCmd=NatGwTrafficCmd,
        NatGwCmd=NatGwCmd,
        HsSpokeCmd=HsSpokeCmd,
        SnatCmd=SnatCmd,
        ResizeSpokeGatewayCmd=ResizeSpokeGatewayCmd,
        Test=not_called,
        TestCmd=not_called,
    )
    return world, state, ec2, adaptor


def manager_rows(module, record):
    world, state, ec2, adaptor = make_world(record)
    for name, value in world.items():
        setattr(module, name, value)
    manager = module.Manager
    config = SimpleNamespace(name="config")
    infos = [
        {"subnet_id": f"subnet-{i}", "nat_gw_id": "", "private_ip": "", "eip": ""}
        for i in range(NAT_GATEWAYS)
    ]

    def get_natgw_infos():
        state["infos"] = infos
        return manager.get_natgw_infos(ec2, adaptor)

    def execute():
        state["revert"] = False
        return manager.execute(config)

    def revert():
        state["revert"] = True
        return manager.revert(config)

    return [
        ("Manager.get_natgw_id_by_subnet", lambda: manager.get_natgw_id_by_subnet(ec2, "subnet-1", "vpc-1")),
        ("Manager.get_natgw_infos (3 NAT gateways)", get_natgw_infos),
        ("Manager.execute (3 NAT gateways)", execute),
        ("Manager.revert (3 NAT gateways)", revert),
        ("Manager.cleanup", lambda: manager.cleanup(config)),
    ]


# ---------------------------------------------------------------- both sides, verified equal


def load_sides():
    """[(label, rows, record)] for C++ and Python, each with its own stand-ins."""
    import natgw_eip_handover_twin
    import spoke_twin
    import tidewall.commands.natgw_eip_handover as handover

    import tidewall.lib.spoke as spoke
    from tidewall.core.Globals import Globals

    Globals.CID, Globals.controller_ip, Globals.dry_run = CID, "controller.bench", False
    Globals.cmdcnt = -1
    os.environ.setdefault("BENCH_PASSWORD", "secret")
    sides = []
    for label, s, h in (("C++", spoke, handover), ("Python", spoke_twin, natgw_eip_handover_twin)):
        transport = InstantTransport()
        install_spoke_stand_ins(s, transport)
        rows = spoke_rows(s) + manager_rows(h, transport.record)
        if ROWS_ENV in os.environ:
            rows = [row for row in rows if re.search(os.environ[ROWS_ENV], row[0])]
        sides.append((label, rows, transport.record))
    return sides


class Lines(logging.Handler):
    def __init__(self, record):
        super().__init__(logging.DEBUG)
        self.record = record

    def emit(self, r):
        if r.name != "tidewall.commands.base_case_handler":  # its lines carry durations
            self.record.append((r.name, r.levelname, r.getMessage()))


def shown(value):
    if hasattr(value, "__dict__") and not isinstance(value, type):
        return (type(value).__name__, shown(vars(value)))
    if isinstance(value, dict):
        return {k: shown(v) for k, v in value.items()}
    return repr(value)


def verify(sides):
    """Each row once on both sides: the same requests, calls, log lines and result."""
    root = logging.getLogger()
    traces = []
    for _, rows, record in sides:
        handler = Lines(record)
        root.addHandler(handler)
        root.setLevel(logging.DEBUG)
        trace = []
        try:
            for name, run in rows:
                record.clear()
                result = run()
                trace.append((name, shown(result), [shown(entry) for entry in record]))
        finally:
            root.removeHandler(handler)
            root.setLevel(logging.WARNING)
        traces.append(trace)
    for (name, *cpp), (_, *py) in zip(*traces, strict=True):
        if cpp != py:
            raise SystemExit(f"the twin of {name} does not do what the module does:\n  {cpp}\n  {py}")


# ---------------------------------------------------------------- instruction counts


def measured_loop(run, calls):
    """`calls` calls of run() inside functools.reduce: the function callgrind collects in."""
    functools.reduce(lambda acc, _: run(), range(calls), None)


def callgrind_child(calls):
    """Runs under callgrind: one collected loop per (row, side), and an empty one per row."""
    sides = load_sides()
    for _, rows, record in sides:
        for _, run in rows:
            run()
            record.clear()
    labels = []
    gc.disable()
    for index in range(len(sides[0][1])):
        for label, rows, record in sides:
            name, run = rows[index]
            for _ in range(3):  # warm the specialising interpreter and caches
                run()
            record.clear()
            measured_loop(run, calls)
            labels.append((name, label))
            record.clear()
        measured_loop(lambda: None, calls)
        labels.append((name, "empty"))
    print(json.dumps(labels))


def import_child(module, shared):
    for name in shared:
        importlib.import_module(name)
    measured_loop(lambda: importlib.import_module(module), 1)
    print(json.dumps([(module, "import")]))


def under_callgrind(arguments):
    """Per-dump instruction counts of this script run under callgrind with `arguments`."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "cg.out"
        command = [
            "valgrind",
            "--tool=callgrind",
            "--collect-atstart=no",
            "--toggle-collect=functools_reduce",
            "--dump-after=functools_reduce",
            f"--callgrind-out-file={out}",
            sys.executable,
            str(Path(__file__).resolve()),
            *arguments,
        ]
        result = subprocess.run(command, capture_output=True, text=True, check=True, env=os.environ)
        labels = json.loads(result.stdout.strip().splitlines()[-1])
        dumps = sorted(Path(folder).glob("cg.out.*"), key=lambda p: int(p.suffix[1:]))
        counts = []
        for dump in dumps:
            for line in dump.read_text().splitlines():
                if line.startswith("summary:"):
                    counts.append(int(line.split()[1]))
        if len(counts) < len(labels):
            raise SystemExit(f"callgrind wrote {len(counts)} dumps for {len(labels)} loops")
        return list(zip(labels, counts[-len(labels) :], strict=True))


def instruction_counts(calls):
    """{row: (C++ per call, Python per call)}"""
    per = {}
    empty = {}
    for (name, side), count in under_callgrind(["--callgrind-child", str(calls)]):
        if side == "empty":
            empty[name] = count
        else:
            per.setdefault(name, {})[side] = count
    return {
        name: tuple((sides[s] - empty[name]) / calls for s in ("C++", "Python"))
        for name, sides in per.items()
    }


SPOKE_SHARED = [
    "requests",
    "logging",
    "tidewall.lib.corvane_backend",
    "tidewall.core.exceptions",
    "tidewall.commands.abstract_command",
    "tidewall.commands.memento",
    "tidewall.core.Globals",
    "tidewall.lib.commonlib",
]
HANDOVER_SHARED = [
    "os",
    "logging",
    "traceback",
    "tidewall.lib.natgw",
    "tidewall.lib.gateway_size",
    "tidewall.lib.aws_cred",
    "tidewall.core.Globals",
    "tidewall.lib.spoke",
    "tidewall.lib.route_table",
    "tidewall.lib.s3",
    "tidewall.lib.corvane_backend",
    "tidewall.core.ConfigAdaptor",
    "tidewall.commands.history",
    "tidewall.commands.base_case_handler",
    "tidewall.lib.test",
    "tidewall.core.exceptions",
    "tidewall.lib.cvn_account",
]
IMPORTS = [
    ("import tidewall.lib.spoke", "tidewall.lib.spoke", "spoke_twin", SPOKE_SHARED),
    (
        "import tidewall.commands.natgw_eip_handover",
        "tidewall.commands.natgw_eip_handover",
        "natgw_eip_handover_twin",
        HANDOVER_SHARED,
    ),
]


def compile_twins():
    """The twins load from cached bytecode, as an installed module would."""
    for _, _, twin, _ in IMPORTS:
        source = str(HERE / "twins" / f"{twin}.py")
        py_compile.compile(source, cfile=importlib.util.cache_from_source(source), doraise=True)


def import_counts(imports):
    compile_twins()
    rows = {}
    for name, module, twin, shared in imports:
        counts = []
        for target in (module, twin):
            [(_, count)] = under_callgrind(["--import-child", target, ",".join(shared)])
            counts.append(count)
        rows[name] = tuple(counts)
    return rows


# ---------------------------------------------------------------- wall time


def wall_ratios(rounds, calls):
    """{row: best C++ per-call time / best Python per-call time}, rounds interleaved."""
    sides = load_sides()
    ratios = {}
    gc.disable()
    try:
        for index in range(len(sides[0][1])):
            best = [float("inf"), float("inf")]
            for _ in range(rounds):
                for side, (_, rows, record) in enumerate(sides):
                    run = rows[index][1]
                    start = time.perf_counter()
                    for _ in range(calls):
                        run()
                    best[side] = min(best[side], time.perf_counter() - start)
                    record.clear()
            ratios[sides[0][1][index][0]] = best[0] / best[1]
    finally:
        gc.enable()
    return ratios


def import_wall_ratios(runs, imports):
    ratios = {}
    for name, module, twin, shared in imports:
        best = []
        for target in (module, twin):
            script = (
                f"import importlib, sys, time\nsys.path.insert(0, {str(HERE / 'twins')!r})\n"
                f"for n in {shared!r}: importlib.import_module(n)\n"
                f"t = time.perf_counter(); importlib.import_module({target!r})\n"
                "print(time.perf_counter() - t)"
            )
            samples = [
                float(
                    subprocess.run(
                        [sys.executable, "-c", script], capture_output=True, text=True, check=True
                    ).stdout
                )
                for _ in range(runs)
            ]
            best.append(min(samples))
        ratios[name] = best[0] / best[1]
    return ratios


# ---------------------------------------------------------------- report


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="calls per measured loop")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved timing rounds (best kept)")
    parser.add_argument("--imports", type=int, default=9, help="fresh interpreters per import timing")
    parser.add_argument("--callgrind-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--import-child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--rows", help="only the rows whose name matches this regular expression")
    parser.add_argument(
        "--hash-seed",
        default="0",
        help="PYTHONHASHSEED of every measured interpreter (dict layouts, hence instruction "
        "counts, depend on it; default 0)",
    )
    add_markdown_option(parser)
    args = parser.parse_args()
    logging.getLogger().setLevel(logging.WARNING)

    if args.callgrind_child:
        return callgrind_child(args.callgrind_child)
    if args.import_child:
        return import_child(args.import_child[0], args.import_child[1].split(","))

    os.environ["PYTHONHASHSEED"] = args.hash_seed
    if args.rows:
        os.environ[ROWS_ENV] = args.rows
    verify(load_sides())
    counts = instruction_counts(args.calls)
    wall = wall_ratios(args.rounds, max(1, args.calls // 4))
    wanted = [i for i in IMPORTS if not args.rows or re.search(args.rows, i[0])]
    imports = import_counts(wanted)
    import_wall = import_wall_ratios(args.imports, wanted)

    table = Table(
        [
            ("row", "<"),
            ("C++ instructions", ">"),
            ("Python instructions", ">"),
            ("ratio", ">"),
            ("wall ratio", ">"),
        ],
        markdown=args.markdown,
    )
    worst = 0.0
    for name, (cpp, py) in list(counts.items()) + list(imports.items()):
        ratio = cpp / py
        worst = max(worst, ratio)
        w = wall.get(name, import_wall.get(name))
        table.row(name, f"{cpp:,.0f}", f"{py:,.0f}", f"{ratio:.2f}", f"{w:.2f}")
    print(f"\nhighest instruction ratio: {worst:.2f} (target <= {TARGET_RATIO:.1f})")
    return 1 if worst > TARGET_RATIO else 0


if __name__ == "__main__":
    sys.exit(main())
