import json
import logging
import os

import boto3
import pytest
from moto import mock_aws

from tidewall.commands import history
from tidewall.commands.history import MementoHistory
from tidewall.commands.memento import Memento
from tidewall.core.ConfigAdaptor import BackupDescriptor
from tidewall.core.Globals import Globals
from tidewall.lib import s3
from tidewall.lib.s3 import S3BackupCmdV2, S3BackupError

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


class TestDownload:
    def test_mirrors_prefix_and_removes_stale_files(self, env):
        client, des, _ = env
        folder = des.getAbsolutePath()
        put(client, "command_history.json", b"new")
        put(client, "rtb/rtb-1.json", b"r1")
        client.put_object(Bucket=BUCKET, Key="tidewall-backups/acct/other-vpc/x", Body=b"no")
        with open(os.path.join(folder, "command_history.json"), "wb") as f:
            f.write(b"old")
        os.makedirs(os.path.join(folder, "stale"))
        with open(os.path.join(folder, "stale", "gone.json"), "wb") as f:
            f.write(b"x")
        assert S3BackupCmdV2(client, des).download() == ["command_history.json", "rtb/rtb-1.json"]
        assert local(folder) == {"command_history.json": b"new", "rtb/rtb-1.json": b"r1"}
        assert sorted(os.listdir(folder)) == ["command_history.json", "rtb"]

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
        S3BackupCmdV2(client, des).download()  # removes a.json: it is not in S3
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
