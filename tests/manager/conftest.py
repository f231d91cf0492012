"""Recording fakes for every outside name of tidewall.commands.natgw_eip_handover.

The `world` fixture rebinds the module's attributes (and `builtins.exit`) to fakes that write one
line per call into `world.log`, in call order, e.g.
    "NatGwCmd(ec2, 'vpc-1', '/backup/vpc-1', version='v2')"
    "MementoHistory.append(B1[1], MarkBegin=True)"
    "next -> False"
Named stand-ins (clients, the adaptor `ca`, the descriptor `des`, the info list `infos`, its
records `record[i]`, mementos by step label) print by name; other values print with repr().

Step labels of the mementos: T (opening test), A1..A6 (NAT gateway 0: s1 snapshot, traffic move,
deletion, primary spoke, s2 snapshot, SNAT), B1[i]/B2[i] (NAT gateway i: deletion, HA spoke),
R (primary resize).
"""

import builtins
import importlib
import itertools
import sys
import types

import pytest

from tidewall.commands import journal_layout

HANDOVER = "tidewall.commands.natgw_eip_handover"

# The outside names the module binds when it loads, by module.
OUTSIDE = {
    "tidewall.lib.natgw": ["get_existing_natgws", "NatGwCmd", "get_natgw_by_subnet"],
    "tidewall.lib.gateway_size": ["DetermineGwSizeCmd"],
    "tidewall.lib.aws_cred": ["AwsClientManager"],
    "tidewall.core.Globals": ["Globals"],
    "tidewall.lib.spoke": ["HsSpokeCmd", "SnatCmd", "ResizeSpokeGatewayCmd"],
    "tidewall.lib.route_table": ["backupAllRtbs", "NatGwTrafficCmd", "SnapshotRTCmd"],
    "tidewall.lib.s3": ["S3BackupCmdV2"],
    "tidewall.lib.corvane_backend": ["getCid"],
    "tidewall.core.ConfigAdaptor": ["ConfigAdaptor"],
    "tidewall.commands.history": ["CommandHistory", "MementoHistory"],
    "tidewall.commands.base_case_handler": ["BaseCaseHandler", "logged"],
    "tidewall.lib.test": ["Test", "TestCmd"],
    "tidewall.core.exceptions": ["CorvaneRollbackException"],
    "tidewall.lib.cvn_account": ["CreateCorvaneAccount"],
}

# Names the unit tests replace by fakes (the framework's Globals, logged, BaseCaseHandler and
# CorvaneRollbackException are used as they are).
FAKED = [
    n
    for names in OUTSIDE.values()
    for n in names
    if n not in ("Globals", "logged", "BaseCaseHandler", "CorvaneRollbackException")
]


def _placeholder(module, name):
    def missing(*args, **kwargs):
        raise AssertionError(f"stand-in {module}.{name} called")

    return missing


def load_handover():
    """Import the module; when a host module or name is not there yet, load against stand-ins
    (removed again afterwards, so other tests import the real modules)."""
    try:
        return importlib.import_module(HANDOVER)
    except ImportError:
        pass
    installed, added = [], []
    for module, names in OUTSIDE.items():
        try:
            real = importlib.import_module(module)
        except ImportError:
            real = types.ModuleType(module)
            sys.modules[module] = real
            installed.append(module)
        for name in names:
            if not hasattr(real, name):
                if name == "BaseCaseHandler":
                    stand_in = type("BaseCaseHandler", (), {})
                elif name == "logged":
                    stand_in = lambda f: f  # noqa: E731
                elif name == "CorvaneRollbackException":
                    stand_in = type("CorvaneRollbackException", (Exception,), {})
                else:
                    stand_in = _placeholder(module, name)
                setattr(real, name, stand_in)
                added.append((real, name))
    try:
        return importlib.import_module(HANDOVER)
    finally:
        for module in installed:
            sys.modules.pop(module, None)
        for real, name in added:
            delattr(real, name)


@pytest.fixture(scope="session")
def handover():
    return load_handover()


@pytest.fixture(scope="session")
def Manager(handover):
    return handover.Manager


class Named:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


class FakeMemento:
    def __init__(self, world, label, spoke_info=None):
        self.world = world
        self.label = label
        self.spoke_info = spoke_info

    def __repr__(self):
        return self.label

    def restore(self):
        self.world.note(f"{self.label}.restore")
        self.world.globals_at_restore.append(self.world.globals_now())
        failure = self.world.restore_failures.get(self.label)
        if failure is not None:
            raise failure

    def getSpokeInfo(self):
        self.world.note(f"{self.label}.getSpokeInfo")
        return self.spoke_info


def info_record(i):
    return {
        "subnet_id": f"subnet-{i}",
        "subnet_cidr": f"10.0.{i}.0/24",
        "initial_size": "t3.small",
        "size": "t3.large",
        "nat_gw_id": f"nat-{i}",
        "private_ip": f"10.0.{i}.10",
        "eip": f"3.0.{i}.10",
    }


def natgw_description(i):
    """What EC2 shows in subnet i now (a NAT gateway whose deletion was undone has a new id)."""
    return {
        "NatGatewayId": f"nat-{i}b",
        "NatGatewayAddresses": [
            {"PrivateIp": f"10.0.{i}.11", "PublicIp": f"3.0.{i}.11"},
            {"PrivateIp": "10.9.9.9", "PublicIp": "9.9.9.9"},
        ],
    }


def slot_label(slot):
    """The fakes' label of a declared journal slot: A1..A6, T and R as they are, B1[i] / B2[i]."""
    return f"{slot.code}[{slot.natgw}]" if slot.code in journal_layout.NEXT_NATGW else slot.code


def declared_labels(records, enable_test=False, hs_mode=2, spoke_gw_size=None, stop_before=None):
    return [
        slot_label(s)
        for s in journal_layout.layout(records, enable_test, hs_mode, spoke_gw_size, stop_before=stop_before)
    ]


# Three NAT gateways, hs_mode 2, no acceptance test, initial and target size of the primary differ.
FULL_ORDER = declared_labels([info_record(i) for i in range(3)])
GROUP_OPENERS = {
    slot_label(s)
    for s in journal_layout.layout([info_record(i) for i in range(4)], True, 2, None)
    if s.opens_group
}


class Adaptor:
    """The configuration adaptor: its fields, each read noted as "ca.<name>" while tracing."""

    def __init__(self, world, fields):
        self._world = world
        self._fields = fields

    def __getattr__(self, name):
        fields = self.__dict__["_fields"]
        if name not in fields:
            raise AttributeError(name)
        world = self.__dict__["_world"]
        if world.trace:
            world.log.append(f"ca.{name}")
        return fields[name]


class Record(dict):
    """A NAT-gateway info record whose key lookups are noted as "record[i]['key']" while tracing."""

    def __init__(self, world, fields):
        super().__init__(fields)
        self.world = world

    def __getitem__(self, key):
        if self.world.trace:
            self.world.log.append(f"{self.world.fmt(self)}[{key!r}]")
        return super().__getitem__(key)


class TracedGlobalsType(type):
    """Globals whose reads and writes are noted as "Globals.x" / "Globals.x = v" while tracing."""

    def __getattribute__(cls, name):
        value = type.__getattribute__(cls, name)
        if not name.startswith("_"):
            world = type.__getattribute__(cls, "_world")
            if world is not None and world.trace:
                world.log.append(f"Globals.{name}")
        return value

    def __setattr__(cls, name, value):
        world = type.__getattribute__(cls, "_world")
        if world is not None and world.trace:
            world.log.append(f"Globals.{name} = {world.fmt(value)}")
        type.__setattr__(cls, name, value)


def traced_globals(world):
    class Globals(metaclass=TracedGlobalsType):
        _world = None
        CID = None
        controller_ip = None
        dry_run = False
        aws_client_manager = None
        cmdcnt = -1
        HS_LIMIT = 2

    Globals._world = world
    return Globals


class World:
    """The outside world of one Manager call, with its fakes and what they saw."""

    def __init__(self, handover):
        from tidewall.core.Globals import Globals

        self.Globals = Globals
        self.log = []
        self.raw = {}  # fake name -> list of (args, kwargs)
        self.config = Named("config")
        self.fields = {
            "controller_ip": "10.0.0.5:443",
            "controller_user": "admin",
            "controller_password_env": "TW_MANAGER_TEST_PASSWORD",
            "aws_account_name": "acct-1",
            "region": "us-east-1",
            "vpc_id": "vpc-1",
            "s3_bucket": "bucket-1",
            "spoke_gw_name": "spoke-gw",
            "spoke_gw_size": None,
            "spoke_gw_tag": None,
            "hs_mode": 2,
            "tag_route_table": False,
            "enable_test": False,
            "input_test_config": "test-in",
            "output_test_config": "test-out",
        }
        self.ca = None
        self.ec2, self.cw, self.s3 = Named("ec2"), Named("cw"), Named("s3")
        self.client_mgr = None
        self.descriptor = None
        self.folder = "/backup/vpc-1"
        self.cid_result = ("6.1", "CID-1")
        self.nat_gws = [{"NatGatewayId": f"nat-{i}"} for i in range(3)]
        self.discovered = [info_record(i) for i in range(3)]
        self.command_done = False
        self.recorded = None
        self.ec2_natgws = {f"subnet-{i}": [natgw_description(i)] for i in range(4)}
        self.history = []  # [memento, begin] in append order
        self.draws = None  # explicit values of is_memento_exist, else derived from history
        self.test_results = []  # answers of Test.run_test, then True
        self.failures = {}  # step label -> exception raised by the command method
        self.restore_failures = {}  # step label -> exception raised by restore()
        self.spoke_infos = {}  # step label -> spoke info record (default one per label)
        self.globals_at_account = None
        self.globals_at_restore = []
        self.trace = False  # also note adaptor, record and Globals accesses in `log`

    # -- recording ---------------------------------------------------------------------------

    def fmt(self, value):
        if isinstance(value, (Named, FakeMemento)):
            return repr(value)
        if value is self.ca:
            return "ca"
        if value is self.descriptor:
            return "des"
        if value is self.nat_gws:
            return "nat_gws"
        for infos in (self.discovered, self.recorded):
            if infos is not None:
                if value is infos:
                    return "infos"
                for i, rec in enumerate(infos):
                    if value is rec:
                        return f"record[{i}]"
        return repr(value)

    def note(self, name, *args, **kwargs):
        self.raw.setdefault(name, []).append((args, kwargs))
        parts = [self.fmt(a) for a in args] + [f"{k}={self.fmt(v)}" for k, v in kwargs.items()]
        self.log.append(f"{name}({', '.join(parts)})" if args or kwargs or "." in name else name)

    def globals_now(self):
        G, trace = self.Globals, self.trace
        self.trace = False  # what the fakes look at is not part of the trace
        try:
            return (G.aws_client_manager, G.CID, G.controller_ip)
        finally:
            self.trace = trace

    def held(self):
        return [m.label for m, _ in self.history]

    def marks(self):
        return [m.label for m, begin in self.history if begin]

    def appended(self):
        return [line for line in self.log if line.startswith("MementoHistory.append(")]

    def steps_run(self):
        """Labels of the mementos appended by this call, in order."""
        return [line[len("MementoHistory.append(") :].split(",")[0].rstrip(")") for line in self.appended()]

    def draw_count(self):
        return sum(1 for line in self.log if line.startswith("next -> "))

    def count(self, prefix):
        return sum(1 for line in self.log if line.startswith(prefix))

    def preload(self, labels):
        """A journal left by an earlier run: the mementos of `labels`, with their group marks."""
        self.history = [[FakeMemento(self, lb), lb in GROUP_OPENERS] for lb in labels]

    def traced(self, handover, monkeypatch, records=3):
        """Note every adaptor read, record key lookup and Globals access in `log`, in order."""
        self.trace = True
        self.Globals = traced_globals(self)
        monkeypatch.setattr(handover, "Globals", self.Globals)
        self.discovered = [Record(self, info_record(i)) for i in range(records)]
        return self

    def resumed(self, infos=None):
        """The discovery is already recorded (an earlier run got past it)."""
        self.command_done = True
        self.recorded = infos if infos is not None else [info_record(i) for i in range(3)]

    def _produce(self, label):
        failure = self.failures.get(label)
        if failure is not None:
            raise failure
        return FakeMemento(self, label)

    def _index(self, record):
        for i, rec in enumerate(self.recorded or []):
            if rec is record:
                return i
        raise AssertionError(f"not a recorded record: {record!r}")

    # -- fakes -------------------------------------------------------------------------------

    def bindings(self):
        world = self

        def ConfigAdaptor(config):
            world.note("ConfigAdaptor", config)
            world.descriptor = Descriptor()
            world.ca = Adaptor(world, {"backup_descriptor": world.descriptor, **world.fields})
            return world.ca

        class Descriptor:
            def getAbsolutePath(self):
                world.note("des.getAbsolutePath")
                return world.folder

        class ClientManager:
            def getEc2Client(self):
                world.note("clientMgr.getEc2Client")
                return world.ec2

            def getCwClient(self):
                world.note("clientMgr.getCwClient")
                return world.cw

            def getS3Client(self):
                world.note("clientMgr.getS3Client")
                return world.s3

            def __repr__(self):
                return "clientMgr"

        def AwsClientManager(config):
            world.note("AwsClientManager", config)
            world.client_mgr = ClientManager()
            return world.client_mgr

        def getCid(controller_ip, controller_user, password):
            world.note("getCid", controller_ip, controller_user, password)
            return world.cid_result

        class CreateCorvaneAccount:
            def __init__(self, ca):
                world.note("CreateCorvaneAccount", ca)
                world.globals_at_account = world.globals_now()

            def execute(self):
                world.note("CreateCorvaneAccount.execute")

        class S3BackupCmdV2:
            def __init__(self, s3_client, backup_des):
                world.note("S3BackupCmdV2", s3_client, backup_des)

            def download(self):
                world.note("S3BackupCmdV2.download")
                failure = world.failures.get("download")
                if failure is not None:
                    raise failure

            def upload(self):
                world.note("S3BackupCmdV2.upload")

        class CommandHistory:
            def init(self, folder, vpc_id, **kwargs):
                world.note("CommandHistory.init", folder, vpc_id, **kwargs)

            def is_command_i_done(self, i):
                world.note("CommandHistory.is_command_i_done", i)
                return world.command_done

            def log_discover_natgw_cmd(self, nat_gw_infos):
                world.note("CommandHistory.log_discover_natgw_cmd", nat_gw_infos)
                world.recorded = nat_gw_infos
                world.command_done = True

            def get_discovered_natgws(self):
                world.note("CommandHistory.get_discovered_natgws")
                return world.recorded

        class MementoHistory:
            def init(self, folder):
                world.note("MementoHistory.init", folder)

            def is_memento_exist(self):
                world.note("MementoHistory.is_memento_exist")
                if world.draws is not None:
                    source = iter(world.draws)
                else:
                    held = len(world.history)
                    source = (i < held for i in itertools.count())

                def drawing():
                    for value in source:
                        world.log.append(f"next -> {value}")
                        yield value

                return drawing()

            def append(self, memento, **kwargs):
                world.note("MementoHistory.append", memento, **kwargs)
                world.history.append([memento, kwargs.get("MarkBegin", False)])

            def isEmpty(self):
                world.note("MementoHistory.isEmpty")
                return not world.history

            def isCmdBegin(self):
                world.note("MementoHistory.isCmdBegin")
                return world.history[-1][1]

            def pop(self):
                world.note("MementoHistory.pop")
                return world.history.pop()[0]

        def get_existing_natgws(ec2_client, natgw_ids, vpc_id):
            world.note("get_existing_natgws", ec2_client, natgw_ids, vpc_id)
            return world.nat_gws

        def get_natgw_by_subnet(ec2_client, subnet_id, vpc_id):
            world.note("get_natgw_by_subnet", ec2_client, subnet_id, vpc_id)
            return world.ec2_natgws.get(subnet_id, [])

        def backupAllRtbs(*args, **kwargs):
            world.note("backupAllRtbs", *args, **kwargs)

        class DetermineGwSizeCmd:
            def __init__(self, *args):
                world.note("DetermineGwSizeCmd", *args)

            def execute(self):
                world.note("DetermineGwSizeCmd.execute")

            def getNatGwInfo(self):
                world.note("DetermineGwSizeCmd.getNatGwInfo")
                return world.discovered

        class SnapshotRTCmd:
            def __init__(self, *args, **kwargs):
                world.note("SnapshotRTCmd", *args, **kwargs)
                self.tag = kwargs.get("tag")

            def execute(self):
                world.note("SnapshotRTCmd.execute")
                return world._produce({"s1": "A1", "s2": "A5"}[self.tag])

        class NatGwTrafficCmd:
            def __init__(self, *args, **kwargs):
                world.note("NatGwTrafficCmd", *args, **kwargs)

            def moveTraffic(self, subnet_id):
                world.note("NatGwTrafficCmd.moveTraffic", subnet_id)
                return world._produce("A2")

        class NatGwCmd:
            def __init__(self, *args, **kwargs):
                world.note("NatGwCmd", *args, **kwargs)

            def delete(self, record):
                world.note("NatGwCmd.delete", record)
                i = world._index(record)
                return world._produce("A3" if i == 0 else f"B1[{i}]")

        class HsSpokeCmd:
            def __init__(self, *args, **kwargs):
                world.note("HsSpokeCmd", *args, **kwargs)
                self.primary = kwargs.get("primary")

            def create(self, *args, **kwargs):
                world.note("HsSpokeCmd.create", *args, **kwargs)
                if self.primary:
                    label = "A4"
                else:
                    cidrs = [dict.__getitem__(r, "subnet_cidr") for r in world.recorded]
                    label = f"B2[{cidrs.index(args[0])}]"
                memento = world._produce(label)
                memento.spoke_info = world.spoke_infos.get(label, {"gw_name": f"spoke-{label}"})
                return memento

        class SnatCmd:
            def __init__(self, *args):
                world.note("SnatCmd", *args)

            def enable(self):
                world.note("SnatCmd.enable")
                return world._produce("A6")

        class ResizeSpokeGatewayCmd:
            def __init__(self, *args):
                world.note("ResizeSpokeGatewayCmd", *args)

            def execute(self):
                world.note("ResizeSpokeGatewayCmd.execute")
                return world._produce("R")

        class TestCmd:
            def __init__(self, *args):
                world.note("TestCmd", *args)

            def execute(self):
                world.note("TestCmd.execute")
                return world._produce("T")

        class Test:
            def generate_test_config(self, *args):
                world.note("Test.generate_test_config", *args)

            def run_test(self):
                world.note("Test.run_test")
                return world.test_results.pop(0) if world.test_results else True

        return {
            "ConfigAdaptor": ConfigAdaptor,
            "AwsClientManager": AwsClientManager,
            "getCid": getCid,
            "CreateCorvaneAccount": CreateCorvaneAccount,
            "S3BackupCmdV2": S3BackupCmdV2,
            "CommandHistory": CommandHistory(),
            "MementoHistory": MementoHistory(),
            "get_existing_natgws": get_existing_natgws,
            "get_natgw_by_subnet": get_natgw_by_subnet,
            "backupAllRtbs": backupAllRtbs,
            "DetermineGwSizeCmd": DetermineGwSizeCmd,
            "SnapshotRTCmd": SnapshotRTCmd,
            "NatGwTrafficCmd": NatGwTrafficCmd,
            "NatGwCmd": NatGwCmd,
            "HsSpokeCmd": HsSpokeCmd,
            "SnatCmd": SnatCmd,
            "ResizeSpokeGatewayCmd": ResizeSpokeGatewayCmd,
            "TestCmd": TestCmd,
            "Test": Test(),
        }

    def exit(self, code=None):
        self.note("exit", code)
        raise SystemExit(code)


@pytest.fixture
def world(handover, monkeypatch):
    from tidewall.core.exceptions import CorvaneRollbackException
    from tidewall.core.Globals import Globals

    w = World(handover)
    fakes = w.bindings()
    assert sorted(fakes) == sorted(FAKED)
    for name, fake in fakes.items():
        monkeypatch.setattr(handover, name, fake)
    monkeypatch.setattr(handover, "Globals", Globals)
    monkeypatch.setattr(handover, "CorvaneRollbackException", CorvaneRollbackException)
    monkeypatch.setattr(builtins, "exit", w.exit)
    monkeypatch.setenv(w.fields["controller_password_env"], "pw-1")
    Globals.reset()
    yield w
    Globals.reset()
