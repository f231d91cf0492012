"""End to end: `tidewall -v sandbox` prints no CID and no password; a signed journal survives SIGKILL before
and after its writes reach S3 (the resumed run converges to the clean run); `status` read while an `execute`
writes the signed journal never refuses it."""

import logging

import pytest

from tidewall import cli
from tidewall.sandbox.controller.api import ControllerApi
from tidewall.sandbox.faults import FaultWorld, kill_anywhere, points_at

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

KEY_ENV = "TIDEWALL_FAULTS_JOURNAL_KEY"
SIGNED = {"config": {"journal_key_env": KEY_ENV}, "env": {KEY_ENV: "faults-journal-key-5d1c"}}


def test_verbose_sandbox_shows_no_cid_and_no_password(tmp_path, capsys, monkeypatch):
    seen = {"cids": [], "passwords": []}
    login = ControllerApi._login

    def recording_login(self, params):
        reply = login(self, params)
        seen["passwords"].append(params.get("password"))
        if reply.get("CID"):
            seen["cids"].append(reply["CID"])
        return reply

    monkeypatch.setattr(ControllerApi, "_login", recording_login)
    try:
        assert cli.main(["-v", "sandbox", "--workdir", str(tmp_path)]) == 0
    finally:
        logging.getLogger().handlers[:] = [
            h for h in logging.getLogger().handlers if not getattr(h, "_tidewall_console", False)
        ]
    out = capsys.readouterr()
    text = out.out + out.err
    assert seen["cids"] and seen["passwords"] and "DEBUG [tidewall.lib.corvane_backend]" in out.err
    for secret in seen["cids"] + seen["passwords"]:
        assert secret not in text
    assert "X-Amz-Security-Token" not in text


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    with FaultWorld(nat_gateways=3, workdir=str(tmp_path_factory.mktemp("signed"))) as w:
        yield w


@pytest.fixture
def key(monkeypatch):
    """The journal key in this process too: the driver reads the journal to compare end states."""
    monkeypatch.setenv(KEY_ENV, SIGNED["env"][KEY_ENV])


def test_a_signed_journal_killed_around_its_writes_converges(world, key):
    clean = kill_anywhere(world, "execute", points=[], **SIGNED)
    journal_writes = [c for c in clean.clean.calls if c.op == "PutObject"]
    assert len(journal_writes) > 6
    # Before and after the write-through of a journal change (after: the file is in S3, this machine's record
    # of the sequence number is not yet written), and after a change in the cloud before its record.
    points = points_at(
        clean.clean.calls,
        "before:PutObject#4",
        "after:PutObject#4",
        "after:create_multicloud_primary_gateway",
    )
    sweep = kill_anywhere(world, "execute", points, clean=(clean.clean, clean.clean_state), **SIGNED)
    assert sweep.cases and all(case.reached for case in sweep.cases), sweep.report()
    assert sweep.failures() == [], sweep.report()
    assert world.run("revert", env=SIGNED["env"]).status == 0


def test_status_read_while_execute_writes_is_never_refused(world, key):
    world.reset(**SIGNED["config"])
    execute = world.spawn("execute", env=SIGNED["env"])
    statuses = []
    while execute.proc.poll() is None and len(statuses) < 4:
        statuses.append(world.run("status", env=SIGNED["env"]))
    assert execute.wait().status == 0
    assert statuses and all(s.status == 0 for s in statuses), [s.stderr for s in statuses]
    final = world.run("status", env=SIGNED["env"])
    assert final.status == 0 and "journal holds 11 of 11 steps" in final.stdout, final.stdout
