import json
import logging
import os
import re
import stat

import boto3
import pytest
from moto import mock_aws

from tidewall.commands import history
from tidewall.commands.history import MementoHistory
from tidewall.commands.memento import Memento
from tidewall.core.ConfigAdaptor import BackupDescriptor
from tidewall.core.Globals import Globals
from tidewall.lib import s3
from tidewall.lib.s3 import BackupConflictError, S3BackupCmdV2, S3BackupError

BUCKET = "tidewall-backup"
PREFIX = "tidewall-backups/acct/vpc-0123456789abcdef0"


@pytest.fixture
def env(tmp_path):
    Globals.reset()
    s3.clear_registry()
    with mock_aws():
        client = boto3.client("s3", region_name="us-east-1")
        client.create_bucket(Bucket=BUCKET)
        calls = []
        client.meta.events.register("before-call.s3.*", lambda model, **_: calls.append(model.name))
        des = BackupDescriptor(str(tmp_path / "acct" / "vpc"), BUCKET, PREFIX)
        yield client, des, calls
    Globals.reset()
    s3.clear_registry()


def put(client, name, body):
    client.put_object(Bucket=BUCKET, Key=f"{PREFIX}/{name}", Body=body)


def stored(client):
    out = {}
    for obj in client.list_objects_v2(Bucket=BUCKET, Prefix=PREFIX + "/").get("Contents", []):
        out[obj["Key"][len(PREFIX) + 1 :]] = client.get_object(Bucket=BUCKET, Key=obj["Key"])["Body"].read()
    return out


def local(folder):
    out = {}
    for root, _dirs, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return out


def write(folder, name, body):
    path = os.path.join(folder, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(body)


class TestDownload:
    def test_fetches_what_only_s3_has_and_keeps_what_matches(self, env):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "command_history.json", b"same")
        put(client, "rtb/rtb-1.json", b"r1")
        put(client, ".run-lock.json", b"{}")  # the run lock is no journal file
        client.put_object(Bucket=BUCKET, Key="tidewall-backups/acct/other-vpc/x", Body=b"no")
        write(folder, "command_history.json", b"same")
        write(folder, ".command_history.json.abc.tmp", b"half")  # a temp file of a killed write
        assert S3BackupCmdV2(client, des).download() == ["command_history.json", "rtb/rtb-1.json"]
        assert local(folder) == {
            "command_history.json": b"same",
            "rtb/rtb-1.json": b"r1",
            ".command_history.json.abc.tmp": b"half",
        }
        assert stat.S_IMODE(os.stat(os.path.join(folder, "rtb")).st_mode) == 0o700

    @pytest.mark.parametrize("dry_run", [False, True])
    @pytest.mark.parametrize(
        "s3_body, message",
        [(None, "has no copy in S3 ("), (b"other", "differs from s3://")],
        ids=["missing in S3", "different in S3"],
    )
    def test_a_local_file_s3_disagrees_with_is_a_conflict_and_is_kept(self, env, dry_run, s3_body, message):
        client, des, calls = env
        folder = des.getAbsolutePath()
        write(folder, "memento_history.json", b"the journal")
        if s3_body is not None:
            put(client, "memento_history.json", s3_body)
        put(client, "command_history.json", b"c")
        Globals.dry_run = dry_run
        calls.clear()
        with pytest.raises(BackupConflictError, match=re.escape(message)) as refused:
            S3BackupCmdV2(client, des).download()
        text = str(refused.value)
        assert os.path.join(folder, "memento_history.json") in text
        assert f"s3://{BUCKET}/{PREFIX}/memento_history.json" in text and "Nothing was changed" in text
        assert refused.value.exit_code == 2
        assert local(folder) == {"memento_history.json": b"the journal"}  # nothing fetched, nothing lost
        assert "PutObject" not in calls and "DeleteObject" not in calls
        assert s3._registry == {}

    def test_a_pending_change_is_stored_first_but_kept_as_it_is_in_a_dry_run(self, env):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "memento_history.json", b"old")
        write(folder, "memento_history.json", b"newer")
        write(folder, s3.PENDING_FILE, json.dumps(["memento_history.json"]).encode())
        Globals.dry_run = True
        S3BackupCmdV2(client, des).download()
        assert stored(client) == {"memento_history.json": b"old"}
        assert local(folder)["memento_history.json"] == b"newer" and s3.PENDING_FILE in local(folder)
        Globals.dry_run = False
        S3BackupCmdV2(client, des).download()
        assert stored(client) == {"memento_history.json": b"newer"}
        assert local(folder) == {"memento_history.json": b"newer"}

    def test_keys_that_are_both_file_and_folder_are_refused(self, env):
        client, des, _ = env
        put(client, "zz", b"a")
        put(client, "zz/inner", b"b")
        with pytest.raises(BackupConflictError, match=r"/zz is an object and also a folder of other objects"):
            S3BackupCmdV2(client, des).download()
        assert local(des.getAbsolutePath()) == {}

    def test_a_local_file_in_the_way_of_an_s3_folder_is_a_conflict(self, env):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "rtb/rtb-1.json", b"r1")
        write(folder, "rtb", b"a file")
        put(client, "rtb", b"a file")
        with pytest.raises(BackupConflictError):
            S3BackupCmdV2(client, des).download()
        assert local(folder) == {"rtb": b"a file"}

    @pytest.mark.parametrize("where", ["the folder", "a parent", "inside"])
    def test_a_symbolic_link_is_refused_and_its_target_untouched(self, env, tmp_path, where):
        client, des, _ = env
        target = tmp_path / "elsewhere"
        target.mkdir()
        (target / "precious.json").write_bytes(b"keep")
        put(client, "command_history.json", b"c")
        if where == "the folder":
            os.makedirs(os.path.dirname(des.local_path))
            os.symlink(target, des.local_path)
        elif where == "a parent":
            os.symlink(target, tmp_path / "acct")
        else:
            os.makedirs(des.local_path)
            os.symlink(target / "precious.json", os.path.join(des.local_path, "command_history.json"))
        with pytest.raises(BackupConflictError, match="symbolic link"):
            S3BackupCmdV2(client, des).download()
        assert (
            sorted(os.listdir(target)) == ["precious.json"]
            and (target / "precious.json").read_bytes() == b"keep"
        )

    def test_new_folders_are_private(self, env, tmp_path):
        client, _des, _ = env
        des = BackupDescriptor(str(tmp_path / "new" / "acct" / "vpc"), BUCKET, PREFIX)
        S3BackupCmdV2(client, des).download()
        for folder in ("new", "new/acct", "new/acct/vpc"):
            assert stat.S_IMODE(os.stat(tmp_path / folder).st_mode) == 0o700, folder

    def test_a_killed_write_leaves_its_file_pending(self, env, monkeypatch):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "memento_history.json", b"old")
        S3BackupCmdV2(client, des).download()

        def killed(*_a):
            raise KeyboardInterrupt  # the process dies between the local write and its write-through

        monkeypatch.setattr(s3, "_put_file", killed)
        s3.atomic_write_bytes(os.path.join(folder, "memento_history.json"), b"new")
        monkeypatch.undo()
        s3.clear_registry()
        S3BackupCmdV2(client, des).download()
        assert stored(client) == {"memento_history.json": b"new"}

    def test_missing_bucket_is_a_clear_error(self, env):
        client, _des, _ = env
        des = BackupDescriptor(_des.local_path, "no-such-bucket", PREFIX)
        with pytest.raises(S3BackupError, match="'no-such-bucket' does not exist"):
            S3BackupCmdV2(client, des).download()

    def test_keys_escaping_the_folder_are_skipped(self, env, tmp_path):
        client, des, _ = env
        put(client, "../../escape.json", b"x")
        put(client, "ok.json", b"y")
        assert S3BackupCmdV2(client, des).download() == ["ok.json"]
        assert not (tmp_path / "escape.json").exists() and not (tmp_path / "acct" / "escape.json").exists()


class TestWriteThrough:
    def test_only_registered_folders_and_never_in_dry_run(self, env):
        client, des, calls = env
        folder = des.getAbsolutePath()
        with open(os.path.join(folder, "a.json"), "wb") as f:
            f.write(b"1")
        assert s3.write_through(folder, "a.json") is False
        os.unlink(os.path.join(folder, "a.json"))  # a local file S3 lacks would be a conflict
        S3BackupCmdV2(client, des).download()
        with open(os.path.join(folder, "a.json"), "wb") as f:
            f.write(b"1")
        Globals.dry_run = True
        assert s3.write_through(folder, "a.json") is False
        Globals.dry_run = False
        calls.clear()
        assert s3.write_through(folder, "a.json") is True
        assert calls == ["PutObject"] and stored(client) == {"a.json": b"1"}
        with pytest.raises(ValueError):
            s3.write_through(folder, "../a.json")

    def test_change_that_missed_s3_is_stored_by_the_next_download(self, env, monkeypatch):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "memento_history.json", b"old")
        S3BackupCmdV2(client, des).download()
        with open(os.path.join(folder, "memento_history.json"), "wb") as f:
            f.write(b"newer")

        def offline(**_kw):
            raise ConnectionError("network down")

        monkeypatch.setattr(client, "put_object", offline)
        with pytest.raises(ConnectionError):
            s3.write_through(folder, "memento_history.json")
        monkeypatch.undo()
        S3BackupCmdV2(client, des).download()
        assert stored(client) == {"memento_history.json": b"newer"}
        assert local(folder) == {"memento_history.json": b"newer"}

    @pytest.mark.parametrize("in_s3", [True, False], ids=["changed", "created"])
    def test_a_second_writer_stops_at_its_first_write_and_s3_keeps_the_first(self, env, in_s3):
        client, des, _ = env
        if in_s3:
            put(client, "memento_history.json", b"v1")
        theirs = des.getAbsolutePath()
        S3BackupCmdV2(client, des).download()
        put(client, "memento_history.json", b"first writer")  # another process, since this one read S3
        write(theirs, "memento_history.json", b"second writer")
        with pytest.raises(s3.JournalWriteConflict, match="changed by another writer") as e:
            s3.write_through(theirs, "memento_history.json")
        assert e.value.exit_code == 2
        assert stored(client)["memento_history.json"] == b"first writer"
        # The copy that lost is kept aside, out of the journal; the next download fetches S3's.
        assert not os.path.exists(os.path.join(theirs, "memento_history.json"))
        S3BackupCmdV2(client, des).download()
        assert local(theirs)["memento_history.json"] == b"first writer"
        write(theirs, "memento_history.json", b"after reading it")  # a writer that read S3's copy goes on
        assert s3.write_through(theirs, "memento_history.json")


class StandIn(Memento):
    def restore(self):
        pass


class TestUpload:
    def test_flushes_histories_and_stores_every_file_whole(self, env, monkeypatch):
        client, des, calls = env
        name = f"{StandIn.__module__}.{StandIn.__qualname__}"
        monkeypatch.setattr(history, "ALLOWED_MEMENTO_CLASSES", frozenset({name}))
        folder = des.getAbsolutePath()
        os.makedirs(os.path.join(folder, "rtb"))
        for rel, body in [
            ("rtb/rtb-1.json", b"r"),
            (".memento_history.json.x.tmp", b"partial"),
            (s3.PENDING_FILE, b"[]"),
        ]:
            with open(os.path.join(folder, rel), "wb") as f:
                f.write(body)
        MementoHistory.init(folder)  # not registered: the journal stays local until the upload
        MementoHistory.append(StandIn())
        MementoHistory.append(StandIn())
        MementoHistory.pop()
        calls.clear()
        names = S3BackupCmdV2(client, des).upload()
        assert names == ["memento_history.json", "rtb/rtb-1.json"]
        assert set(calls) == {"PutObject"} and len(calls) == 2
        objects = stored(client)
        assert len(json.loads(objects["memento_history.json"])["entries"]) == 1
        assert objects["rtb/rtb-1.json"] == b"r"

    def test_dry_run_skips_with_info_line(self, env, caplog):
        client, des, calls = env
        folder = des.getAbsolutePath()
        with open(os.path.join(folder, "a.json"), "wb") as f:
            f.write(b"1")
        Globals.dry_run = True
        calls.clear()
        with caplog.at_level(logging.INFO, logger="tidewall.lib.s3"):
            assert S3BackupCmdV2(client, des).upload() == []
        assert "Dry run: upload" in caplog.text and calls == [] and stored(client) == {}
