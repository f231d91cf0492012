"""Whose journal it is, its sequence number and signature, and the declared state of every memento class."""

import json
import logging
import os

import pytest

from journal_states import SAMPLE_STATES
from tidewall.commands import history, journal_layout, journal_trust, memento_fields
from tidewall.commands.history import CommandHistory, HistoryError, MementoHistory
from tidewall.commands.journal_trust import JournalContext, JournalTrustError
from tidewall.core.exceptions import EXIT_USAGE
from tidewall.core.Globals import Globals
from tidewall.lib import s3

VPC = "vpc-0123456789abcdef0"
KEY_ENV = "TIDEWALL_JOURNAL_TEST_KEY"
SNAPSHOT = "tidewall.lib.route_table.SnapshotRTMemento"


@pytest.fixture(autouse=True)
def clean():
    Globals.reset()
    s3.clear_registry()
    journal_trust.clear_bindings()
    yield
    Globals.reset()
    s3.clear_registry()
    journal_trust.clear_bindings()


@pytest.fixture
def folder(tmp_path):
    path = tmp_path / "acct" / VPC
    path.mkdir(parents=True)
    return str(path)


def context(folder, key_env=None, **owner):
    fields = dict(account="acct", vpc_id=VPC, region="us-east-1", bucket="bkt", prefix=f"p/acct/{VPC}")
    fields.update(owner)
    return JournalContext(
        key_env=key_env, seen_path=journal_trust.seen_path_for(folder), spoke_gw_name="spoke", **fields
    )


def bind(folder, **kwargs):
    journal_trust.bind(folder, context(folder, **kwargs))


def snapshot():
    from tidewall.lib.route_table import SnapshotRTMemento

    state = SAMPLE_STATES[SNAPSHOT]
    return SnapshotRTMemento(
        state["vpc_id"], state["tag"], state["version"], state["file_name"], state["routes"]
    )


def doc(folder, name=history.MEMENTO_FILE):
    with open(os.path.join(folder, name), encoding="utf-8") as f:
        return json.load(f)


def write_doc(folder, body, name=history.MEMENTO_FILE):
    """Store `body` with a digest that matches (an editor who recomputes it)."""
    body = {k: v for k, v in body.items() if k != "sha256"}
    body["sha256"] = history._digest(body)
    with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
        json.dump(body, f)


class TestOwnerAndSequence:
    def test_every_write_names_the_owner_and_counts_up(self, folder):
        bind(folder)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        MementoHistory.append(snapshot())
        stored = doc(folder)
        assert stored["format"] == 2 and stored["seq"] == 2 and "signature" not in stored
        assert stored["owner"] == context(folder).owner()
        assert journal_trust.last_seen(context(folder), history.MEMENTO_FILE) == {
            "seq": 2,
            "signed": False,
            "owned": True,
        }
        MementoHistory.init(folder)
        assert len(MementoHistory.entries()) == 2

    @pytest.mark.parametrize(
        "other, shown",
        [
            (
                {"vpc_id": "vpc-0fedcba9876543210"},
                "vpc_id 'vpc-0123456789abcdef0' (configured 'vpc-0fedcba9876543210')",
            ),
            ({"bucket": "elsewhere"}, "bucket 'bkt' (configured 'elsewhere')"),
            ({"region": "eu-west-1"}, "region 'us-east-1' (configured 'eu-west-1')"),
        ],
    )
    def test_a_journal_of_another_owner_is_refused_by_both_histories(self, folder, other, shown):
        bind(folder)
        CommandHistory.init(folder, VPC)
        CommandHistory.set_run_settings({"enable_test": False, "hs_mode": 2})
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        before = {n: doc(folder, n) for n in (history.COMMAND_FILE, history.MEMENTO_FILE)}
        bind(folder, **other)
        for open_ in (lambda: CommandHistory.init(folder, VPC), lambda: MementoHistory.init(folder)):
            with pytest.raises(JournalTrustError, match="belongs to") as err:
                open_()
            assert shown in str(err.value) and err.value.exit_code == EXIT_USAGE
        assert {n: doc(folder, n) for n in before} == before

    def test_an_old_journal_is_adopted_once_and_its_downgrade_refused(self, folder, caplog):
        bind(folder)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        current = doc(folder)
        legacy = {k: v for k, v in current.items() if k not in ("owner", "seq")}
        legacy["format"] = 1
        journal_trust.clear_bindings()
        os.unlink(journal_trust.seen_path_for(folder))  # a machine that never saw this journal
        write_doc(folder, legacy)
        bind(folder)
        MementoHistory.init(folder)
        assert "names no owner (written by an earlier version)" in caplog.text
        assert doc(folder)["format"] == 1  # opening changes nothing
        MementoHistory.append(snapshot())
        assert doc(folder)["owner"] == context(folder).owner() and doc(folder)["format"] == 2
        # Once this machine has seen it with an owner, an ownerless copy is a replaced one.
        write_doc(folder, legacy)
        with pytest.raises(JournalTrustError, match="names no owner, but this machine last saw it"):
            MementoHistory.init(folder)

    def test_an_older_copy_is_refused_and_only_reported_in_a_dry_run(self, folder, caplog):
        bind(folder)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        older = doc(folder)
        MementoHistory.append(snapshot())
        write_doc(folder, older)
        with pytest.raises(JournalTrustError, match="sequence number 1 is lower than 2"):
            MementoHistory.init(folder)
        Globals.dry_run = True
        MementoHistory.init(folder)
        assert "a run that changes something refuses it" in caplog.text
        # A record this machine cannot read is no licence to accept anything.
        Globals.dry_run = False
        with open(journal_trust.seen_path_for(folder), "w") as f:
            f.write("{")
        with pytest.raises(JournalTrustError, match="cannot be read"):
            MementoHistory.init(folder)

    def test_a_killed_write_never_leaves_the_record_ahead_of_the_file(self, folder, monkeypatch):
        bind(folder)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)

        def killed(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(journal_trust, "remember", killed)  # dies after the file, before the record
        with pytest.raises(KeyboardInterrupt):
            MementoHistory.append(snapshot())
        monkeypatch.undo()
        MementoHistory.init(folder)
        assert doc(folder)["seq"] == 2 and len(MementoHistory.entries()) == 2


class TestSignature:
    def test_signed_with_the_key_and_refused_when_edited_or_stripped(self, folder, monkeypatch):
        monkeypatch.setenv(KEY_ENV, "k3y-of-the-journal")
        bind(folder, key_env=KEY_ENV)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        signed = doc(folder)
        assert signed["signature"]["alg"] == "HMAC-SHA256" and len(signed["signature"]["value"]) == 64

        edited = json.loads(json.dumps(signed))
        edited["entries"][0]["state"]["routes"][0]["route_table_id"] = "rtb-0bbbbbbbbbbbbbbbb"
        write_doc(folder, edited)
        with pytest.raises(JournalTrustError, match="signature does not match"):
            MementoHistory.init(folder)

        stripped = {k: v for k, v in signed.items() if k != "signature"}
        write_doc(folder, stripped)
        with pytest.raises(JournalTrustError, match="not signed, but journal_key_env is configured"):
            MementoHistory.init(folder)
        os.unlink(journal_trust.context_of(folder).seen_path)  # a fresh machine refuses it too
        with pytest.raises(JournalTrustError, match="tidewall adopt --config"):
            MementoHistory.init(folder)

        write_doc(folder, signed)
        monkeypatch.setenv(KEY_ENV, "another-key-entirely")
        with pytest.raises(JournalTrustError, match="signature does not match"):
            MementoHistory.init(folder)
        monkeypatch.delenv(KEY_ENV)
        with pytest.raises(JournalTrustError, match=f"environment variable {KEY_ENV} is not set"):
            MementoHistory.init(folder)
        bind(folder)  # no key configured
        with pytest.raises(JournalTrustError, match="signed, but no key is configured"):
            MementoHistory.init(folder)

    def test_an_unsigned_journal_is_refused_under_a_key_until_adopted(self, folder, monkeypatch, caplog):
        bind(folder)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        monkeypatch.setenv(KEY_ENV, "k3y-of-the-journal")
        bind(folder, key_env=KEY_ENV)
        with pytest.raises(JournalTrustError, match="is not signed"):
            MementoHistory.init(folder)
        with journal_trust.adopting():
            MementoHistory.init(folder)
        assert "is not signed yet" in caplog.text
        MementoHistory.append(snapshot())
        assert "signature" in doc(folder)
        MementoHistory.init(folder)

    def test_the_key_is_never_shown(self, folder, monkeypatch):
        from tidewall.core import redact

        monkeypatch.setenv(KEY_ENV, "k3y-of-the-journal")
        bind(folder, key_env=KEY_ENV)
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        assert redact.redact("key k3y-of-the-journal") == "key ***"


class TestDeclaredFields:
    def test_every_journal_class_is_declared_and_no_field_hides_a_method(self):
        assert set(memento_fields.MEMENTO_FIELDS) == set(journal_layout.MEMENTO_CLASSES)
        for name, fields in memento_fields.MEMENTO_FIELDS.items():
            cls = history._resolve_memento_class(name)
            assert not [f for f in fields if hasattr(cls, f)], name
            assert memento_fields.state_problems(name, cls, SAMPLE_STATES[name]) == [], name

    def test_live_mementos_have_exactly_their_declared_fields(self):
        spoke = pytest.importorskip("tidewall.lib.spoke")
        from tidewall.lib.natgw import NatGwDeleteMemento
        from tidewall.lib.route_table import NatGwTrafficMemento
        from tidewall.lib.test import TestMemento

        live = [
            snapshot(),
            NatGwTrafficMemento(VPC, "s1", "subnet-1", "nat-1", "subnet-2", "nat-2", []),
            NatGwDeleteMemento(
                VPC, "subnet-1", "10.0.0.0/24", "nat-1", "10.0.0.5", "3.3.3.3", None, [], [], []
            ),
            TestMemento(True, [{"name": "natgw nat-1", "passed": True}], "/tmp/out.json"),
            spoke.HsSpokeCreateMemento({"gw_name": "spoke", "gw_subnet_id": "subnet-1"}),
            spoke.HsSpokeCreateMemento(None),
            spoke.SnatEnableMemento("spoke"),
            spoke.ResizeSpokeGatewayMemento("spoke", "c5.large", "t3.small"),
        ]
        for memento in live:
            name = f"{type(memento).__module__}.{type(memento).__qualname__}"
            assert memento_fields.state_problems(name, type(memento), memento.toDict()) == [], name

    @pytest.mark.parametrize(
        "edit, problem",
        [
            (lambda s: s.update(restore="x"), "attribute 'restore' is not one of"),
            (
                lambda s: s.update(routes="rtb-0aaaaaaaaaaaaaaaa"),
                "routes: expected a list of snapshot route record",
            ),
            (lambda s: s.pop("vpc_id"), "attribute 'vpc_id' is missing"),
            (lambda s: s["routes"][0].update(via="x"), "key 'via' is not one of"),
            (lambda s: s["routes"][0].update(route_table_id=7), "route_table_id: expected text, got int"),
        ],
        ids=["shadows-a-method", "wrong-type", "missing", "unknown-key", "nested-type"],
    )
    def test_a_state_that_is_not_the_class_s_own_is_refused(self, folder, edit, problem):
        MementoHistory.init(folder)
        MementoHistory.append(snapshot(), MarkBegin=True)
        body = doc(folder)
        edit(body["entries"][0]["state"])
        write_doc(folder, body)
        with pytest.raises(HistoryError, match="entry 0: .*" + problem):
            MementoHistory.init(folder)

    def test_a_memento_with_an_undeclared_field_is_not_journalled(self, folder):
        memento = snapshot()
        memento.secondary = ["eipalloc-0123456789abcdef0"]
        MementoHistory.init(folder)
        with pytest.raises(HistoryError, match="attribute 'secondary' is not one of .*memento_fields"):
            MementoHistory.append(memento)
        assert not os.path.exists(os.path.join(folder, history.MEMENTO_FILE))

    def test_the_id_scan_skips_free_text_and_gateway_names(self):
        state = dict(SAMPLE_STATES["tidewall.lib.natgw.NatGwDeleteMemento"])
        state["tags"] = [{"Key": "peer", "Value": "vpc-0fedcba9876543210"}]
        texts = dict(memento_fields.scanned_texts("tidewall.lib.natgw.NatGwDeleteMemento", state))
        assert texts["routes[0].route_table_id"] == "rtb-0000000000000000a"
        assert not any(w.startswith("tags") for w in texts)
        info = {"spoke_info": {"gw_name": "subnet-00000000", "gw_subnet_id": "subnet-00000001"}}
        name = "tidewall.lib.spoke.HsSpokeCreateMemento"
        assert dict(memento_fields.scanned_texts(name, info)) == {
            "spoke_info.gw_subnet_id": "subnet-00000001"
        }
        assert list(memento_fields.gateway_names(name, info)) == [("spoke_info.gw_name", "subnet-00000000")]


def test_histories_of_unbound_folders_keep_working_without_owner(folder, caplog):
    caplog.set_level(logging.WARNING)
    MementoHistory.init(folder)
    MementoHistory.append(snapshot(), MarkBegin=True)
    assert doc(folder)["owner"] is None and not os.path.exists(journal_trust.seen_path_for(folder))
    MementoHistory.init(folder)
    assert caplog.records == []
