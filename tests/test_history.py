import itertools
import json
import os
import pickle

import boto3
import pytest
from moto import mock_aws

from tidewall.commands import history
from tidewall.commands.history import CommandHistory, HistoryError, MementoHistory
from tidewall.commands.memento import Memento
from tidewall.core.Globals import Globals
from tidewall.lib import s3

VPC = "vpc-0123456789abcdef0"
RESTORED = []


class StandIn(Memento):
    def __init__(self, label, **extra):
        super().__init__()
        self.label = label
        self.__dict__.update(extra)

    def restore(self):
        RESTORED.append(self.label)


class Unlisted(StandIn):
    pass


NAME = f"{StandIn.__module__}.{StandIn.__qualname__}"


@pytest.fixture(autouse=True)
def clean(monkeypatch):
    Globals.reset()
    s3.clear_registry()
    RESTORED.clear()
    monkeypatch.setattr(history, "ALLOWED_MEMENTO_CLASSES", history.ALLOWED_MEMENTO_CLASSES | {NAME})
    yield
    Globals.reset()
    s3.clear_registry()


@pytest.fixture
def folder(tmp_path):
    return str(tmp_path)


def mfile(folder):
    return os.path.join(folder, history.MEMENTO_FILE)


def labels():
    return [state["label"] for _name, _begin, state in MementoHistory.entries()]


def read(path):
    with open(path, "rb") as f:
        return f.read()


class TestMementoHistory:
    def test_round_trip_across_runs_with_marks_and_pop_order(self, folder):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a", n=1, items=[1, {"x": None}]), MarkBegin=True)
        MementoHistory.append(StandIn("b"))
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("c"), MarkBegin=True)
        MementoHistory.init(folder)
        assert MementoHistory.entries()[0] == (
            NAME,
            True,
            {"created_by": "StandIn", "label": "a", "n": 1, "items": [1, {"x": None}]},
        )
        undone = []
        while not MementoHistory.isEmpty():
            begin = MementoHistory.isCmdBegin()
            memento = MementoHistory.pop()
            assert type(memento) is StandIn
            memento.restore()
            undone.append((memento.label, begin))
        assert undone == [("c", True), ("b", False), ("a", True)]
        assert RESTORED == ["c", "b", "a"]
        MementoHistory.init(folder)
        assert MementoHistory.isEmpty() and not MementoHistory.isCmdBegin()

    def test_memento_exist_iterator(self, folder):
        MementoHistory.init(folder)
        assert list(itertools.islice(MementoHistory.is_memento_exist(), 3)) == [False] * 3
        MementoHistory.append(StandIn("a"))
        MementoHistory.append(StandIn("b"))
        it = MementoHistory.is_memento_exist()
        MementoHistory.append(StandIn("c"))
        assert [next(it) for _ in range(4)] == [True, True, False, False]
        assert not any(itertools.islice(it, 1000))

    def test_file_is_readable_json_without_pickle(self, folder, monkeypatch):
        def banned(*_a, **_k):
            raise AssertionError("pickle used")

        for name in ("dumps", "loads", "dump", "load"):
            monkeypatch.setattr(pickle, name, banned)
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"), MarkBegin=True)
        text = open(mfile(folder)).read()
        doc = json.loads(text)
        assert "\n  " in text and doc["format"] == history.FORMAT_VERSION and len(doc["sha256"]) == 64
        assert doc["entries"] == [
            {"class": NAME, "state": {"created_by": "StandIn", "label": "a"}, "begin": True}
        ]
        MementoHistory.init(folder)
        assert labels() == ["a"]

    @pytest.mark.parametrize(
        "memento, match",
        [
            (Unlisted("x"), "not one the history may rebuild"),
            (StandIn("x", ids={"a", "b"}), "cannot be stored"),
            (StandIn("x", pair=(1, 2)), "cannot be stored"),
            (StandIn("x", ratio=float("nan")), "cannot be stored"),
            (StandIn("x", table={1: "a"}), "not text"),
        ],
    )
    def test_append_refuses_what_cannot_be_restored(self, folder, memento, match):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("ok"))
        before = read(mfile(folder))
        with pytest.raises(HistoryError, match=match):
            MementoHistory.append(memento)
        assert labels() == ["ok"] and read(mfile(folder)) == before

    def test_kill_between_pop_and_restore_keeps_the_memento(self, folder):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"), MarkBegin=True)
        MementoHistory.append(StandIn("b"))
        assert MementoHistory.pop().label == "b"
        MementoHistory.init(folder)  # the process died before restore() finished
        assert labels() == ["a", "b"]
        assert MementoHistory.pop().label == "b"
        MementoHistory.isCmdBegin()  # next call: the pop is now written
        MementoHistory.init(folder)
        assert labels() == ["a"]

    def test_flush_writes_a_pending_pop(self, folder):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"))
        MementoHistory.pop()
        MementoHistory.flush()
        assert json.loads(open(mfile(folder)).read())["entries"] == []

    def test_failed_write_changes_nothing_and_leaves_no_temp_file(self, folder, monkeypatch):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"))
        before = read(mfile(folder))

        def fail(*_a):
            raise OSError("disk full")

        monkeypatch.setattr(os, "replace", fail)
        with pytest.raises(OSError):
            MementoHistory.append(StandIn("b"))
        assert labels() == ["a"] and read(mfile(folder)) == before
        assert os.listdir(folder) == [history.MEMENTO_FILE]

    def test_dry_run_reads_but_never_writes(self, folder, tmp_path):
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"), MarkBegin=True)
        before = read(mfile(folder))
        Globals.dry_run = True
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("b"))
        assert MementoHistory.pop().label == "b" and MementoHistory.pop().label == "a"
        assert MementoHistory.isEmpty()
        MementoHistory.flush()
        assert read(mfile(folder)) == before
        CommandHistory.init(str(tmp_path / "empty"), VPC)
        CommandHistory.log_discover_natgw_cmd([{"subnet_id": "s"}])
        assert not os.path.exists(tmp_path / "empty")


def _tamper(raw):
    doc = json.loads(raw)
    doc["entries"][0]["state"]["label"] = "evil"
    return json.dumps(doc)


def _reclass(name):
    def change(raw):
        doc = json.loads(raw)
        doc["entries"][0]["class"] = name
        body = {k: v for k, v in doc.items() if k != "sha256"}
        doc["sha256"] = history._digest(body)
        return json.dumps(doc)

    return change


class TestUntrustedFiles:
    @pytest.mark.parametrize(
        "damage, match",
        [
            (lambda raw: raw[: len(raw) // 2], "not valid JSON"),
            (lambda raw: "", "not valid JSON"),
            (_tamper, "sha256"),
            (_reclass("os.system"), "not one the history may rebuild"),
            (_reclass("tidewall.lib.spoke.NoSuchMemento"), "not one the history may rebuild"),
            (_reclass("collections.OrderedDict"), "not a Memento class"),
        ],
    )
    def test_memento_file_is_refused_and_left_as_it_is(self, folder, monkeypatch, damage, match):
        monkeypatch.setattr(
            history, "ALLOWED_MEMENTO_CLASSES", history.ALLOWED_MEMENTO_CLASSES | {"collections.OrderedDict"}
        )
        MementoHistory.init(folder)
        MementoHistory.append(StandIn("a"))
        damaged = damage(open(mfile(folder)).read())
        with open(mfile(folder), "w") as f:
            f.write(damaged)
        before = read(mfile(folder))
        with pytest.raises(HistoryError, match=match):
            MementoHistory.init(folder)
        assert read(mfile(folder)) == before
        with pytest.raises(HistoryError, match="init has not been called"):
            MementoHistory.isEmpty()

    def test_command_file_tampering_or_other_vpc_is_refused(self, folder):
        CommandHistory.init(folder, VPC)
        CommandHistory.log_discover_natgw_cmd([{"subnet_id": "subnet-1", "eip": "1.2.3.4"}])
        path = os.path.join(folder, history.COMMAND_FILE)
        with pytest.raises(HistoryError, match="belongs to VPC"):
            CommandHistory.init(folder, "vpc-11111111")
        with open(path) as f:
            raw = f.read()
        with open(path, "w") as f:
            f.write(raw.replace("1.2.3.4", "5.6.7.8"))
        with pytest.raises(HistoryError, match="sha256"):
            CommandHistory.init(folder, VPC)
        assert "5.6.7.8" in open(path).read()


class TestCommandHistory:
    def test_discovery_round_trip_and_list_identity(self, folder):
        CommandHistory.init(folder, VPC, version="v2")
        assert not CommandHistory.is_command_i_done(0) and CommandHistory.get_run_settings() is None
        assert CommandHistory.get_discovered_natgws() == []
        infos = [
            {"subnet_id": "subnet-1", "nat_gw_id": "nat-1"},
            {"subnet_id": "subnet-2", "nat_gw_id": "nat-2"},
        ]
        CommandHistory.log_discover_natgw_cmd(infos)
        CommandHistory.set_run_settings({"enable_test": False, "hs_mode": 2})
        assert CommandHistory.is_command_i_done(0) and not CommandHistory.is_command_i_done(1)
        assert CommandHistory.get_discovered_natgws() is infos
        infos[0]["nat_gw_id"] = "nat-new"  # refreshed in place by the caller
        CommandHistory.init(folder, VPC, version="v2")
        loaded = CommandHistory.get_discovered_natgws()
        assert loaded is CommandHistory.get_discovered_natgws()
        assert [r["nat_gw_id"] for r in loaded] == ["nat-1", "nat-2"]
        assert CommandHistory.is_command_i_done(0)
        assert CommandHistory.get_run_settings() == {"enable_test": False, "hs_mode": 2}

    def test_refusals_record_nothing(self, folder):
        CommandHistory.init(folder, VPC)
        with pytest.raises(HistoryError, match="cannot be stored"):
            CommandHistory.log_discover_natgw_cmd([{"subnet_id": object()}])
        assert not CommandHistory.is_command_i_done(0) and os.listdir(folder) == []
        CommandHistory.log_discover_natgw_cmd([])
        with pytest.raises(HistoryError, match="already recorded"):
            CommandHistory.log_discover_natgw_cmd([{"subnet_id": "s"}])


@mock_aws
def test_every_change_is_written_through(folder):
    client = boto3.client("s3", region_name="us-east-1")
    client.create_bucket(Bucket="bk-journal")
    s3.register(folder, client, "bk-journal", "pre")

    def stored(name):
        return client.get_object(Bucket="bk-journal", Key=f"pre/{name}")["Body"].read()

    CommandHistory.init(folder, VPC)
    CommandHistory.log_discover_natgw_cmd([{"subnet_id": "s"}])
    assert stored(history.COMMAND_FILE) == read(os.path.join(folder, history.COMMAND_FILE))
    MementoHistory.init(folder)
    for label in "ab":
        MementoHistory.append(StandIn(label))
        assert stored(history.MEMENTO_FILE) == read(mfile(folder))
    MementoHistory.pop()
    MementoHistory.isEmpty()
    assert len(json.loads(stored(history.MEMENTO_FILE))["entries"]) == 1
    assert sorted(os.listdir(folder)) == [history.COMMAND_FILE, history.MEMENTO_FILE]
