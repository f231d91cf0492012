"""What a migration refuses before it changes anything: a journal that cannot be trusted, a VPC without
two NAT gateways, a spoke tag that does not pair up; and the spoke tag forms it accepts."""

import logging
import os

import pytest
import yaml
from handover_support import tamper_keeping_digest, tamper_with_new_digest

from tidewall.commands.history import HistoryError
from tidewall.lib.s3 import BackupConflictError

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


def _foreign_class(body):
    body["entries"][3]["class"] = "subprocess.Popen"


def _other_gateway(doc):
    # The primary's creation record made to name a gateway this migration never created.
    doc["entries"][3]["state"]["spoke_info"]["gw_name"] = "someone-elses-gateway"


class TestTamperedJournal:
    @pytest.mark.parametrize(
        "tamper, refusal",
        [
            (
                lambda text: tamper_with_new_digest(text, _foreign_class),
                "entry 3: memento class 'subprocess.Popen' is not one the history may rebuild",
            ),
            (
                lambda text: tamper_keeping_digest(text, _other_gateway),
                "content does not match its sha256 digest",
            ),
        ],
        ids=["class-outside-the-allow-list", "broken-digest"],
    )
    def test_execute_and_revert_refuse_and_change_nothing(self, vpc, tamper, refusal):
        assert vpc.run(cmdcnt=1) == 0
        original = vpc.s3_text()
        tampered = tamper(original)
        vpc.put_s3_text(tampered)
        before = vpc.observe()
        vpc.ctl.clear_requests()

        # The local journal disagrees with S3's: a conflict, and the local copy stays as it is.
        for command in ("execute", "revert"):
            with pytest.raises(BackupConflictError, match="memento_history.json differs from s3://"):
                vpc.run(command)
            assert vpc.observe() == before, command
            assert vpc.changing_requests() == [], command
            assert vpc.s3_text() == tampered and vpc.local_text() == original

        # Without a local copy S3's is taken, and the history refuses it.
        os.unlink(os.path.join(vpc.folder, "memento_history.json"))
        for command in ("execute", "revert"):
            with pytest.raises(HistoryError, match=refusal):
                vpc.run(command)

            assert vpc.observe() == before, command
            assert vpc.changing_requests() == [], command
            assert vpc.s3_text() == tampered and vpc.local_text() == tampered
        vpc.assert_replaced({0}, resized=False)


class TestFatalPreconditions:
    @pytest.mark.parametrize(
        "nat_gateways, line",
        [
            (1, "**Error** natgw_eip_handover requires two Natgw, only 1 is found"),
            (0, "**Error** cleanup has been done, rollback is not allowed!"),
        ],
        ids=["one-nat-gateway", "no-nat-gateway"],
    )
    def test_too_few_nat_gateways_end_the_run_with_status_1(self, seed, capsys, nat_gateways, line):
        vpc = seed(nat_gateways)
        before = vpc.egress().key()
        capsys.readouterr()

        assert vpc.run() == 1

        assert capsys.readouterr().out == line + "\n"
        assert vpc.egress().key() == before
        assert vpc.gateways() == {}
        assert vpc.changing_requests() == ["add_account"]
        assert vpc.s3_text() is None
        # The discovery was recorded before the check.
        assert [r["subnet_id"] for r in vpc.discovered()] == [z.public_subnet_id for z in vpc.zones]

    def test_a_spoke_tag_that_does_not_pair_up_ends_the_run_before_the_discovery(self, vpc):
        before = vpc.egress().key()

        assert vpc.run(spoke_gw_tag="env,prod,team") == 1

        errors = [
            r.getMessage()
            for r in vpc.caplog.records
            if r.name == "tidewall.commands.natgw_eip_handover" and r.levelno == logging.ERROR
        ]
        assert errors == ["spoke_gw_tag: env,prod,team mismatched"]
        assert vpc.egress().key() == before and vpc.gateways() == {}
        assert vpc.s3_keys() == []


class TestSpokeTag:
    @pytest.mark.parametrize(
        "configured, tags",
        [
            ("owner:ops,tier:web", {"owner": "ops", "tier": "web"}),
            (",owner,ops", {"owner": "ops"}),
            ("", {}),
        ],
        ids=["pairs", "leading-comma", "empty"],
    )
    def test_the_spoke_carries_the_configured_tags(self, vpc, configured, tags):
        assert vpc.run(cmdcnt=1, spoke_gw_tag=configured) == 0

        assert vpc.ctl.gateways["egress-spoke"].tags == tags
        create = next(r for r in vpc.ctl.requests if r.action == "create_multicloud_primary_gateway")
        assert ("tag" in create.fields) == bool(tags)


class TestBackupConflict:
    def test_a_journal_missing_from_s3_stops_a_dry_run_and_the_local_one_stays(self, vpc, tmp_path, capsys):
        from tidewall import cli

        assert vpc.run(cmdcnt=1) == 0
        journal = vpc.local_text()
        vpc.aws.client("s3").delete_object(Bucket=vpc.seeded.bucket, Key=f"{vpc.prefix}/memento_history.json")
        config = tmp_path / "config.yaml"
        config.write_text(yaml.safe_dump(vpc.config))
        before = vpc.observe()
        capsys.readouterr()

        assert cli.main(["execute", "--dry-run", "--config", str(config)]) == 2

        err = capsys.readouterr().err
        local = os.path.join(vpc.folder, "memento_history.json")
        assert (
            f"local {local} has no copy in S3 (s3://{vpc.seeded.bucket}/{vpc.prefix}/memento_history.json"
            in err
        )
        assert vpc.local_text() == journal and vpc.observe() == before
