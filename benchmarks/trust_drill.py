"""Trust drill: every forgery that someone who can write the backup bucket (but not the operator's machine)
can make, replayed against a served sandbox (moto on 127.0.0.1 and the simulated controller).

For each forgery: a fresh world, `execute --stop-before 1` (one NAT gateway replaced), the forgery written
straight into S3, the local copy and this machine's record of the journal removed (a machine that never ran
this VPC), then `revert --yes` and `execute --yes`, each in a child process. A forgery counts as refused when
both exit with status 2, name what they found, and leave AWS and the controller as they were.

    PYTHONPATH=src nice .venv/bin/python benchmarks/trust_drill.py [-v] [--only I,J]

Prints "N of N forgeries refused, AWS and controller unchanged"; exit status 1 when one was not.
"""

import argparse
import copy
import hashlib
import json
import logging
import os
import shutil
import sys
import tempfile
import time
import warnings

from tidewall.sandbox.clock import Durations
from tidewall.sandbox.faults import FaultWorld

KEY_ENV = "TIDEWALL_DRILL_JOURNAL_KEY"
MEMENTOS = "memento_history.json"
COMMANDS = "command_history.json"


class Bucket:
    """The VPC's journal in S3, read and written as a bucket writer would (no tool code)."""

    def __init__(self, world):
        self.s3 = world.aws.client("s3")
        self.bucket = world.seeded.bucket
        prefix = world.config.get("backup_prefix", "tidewall-backups")
        self.prefix = f"{prefix}/{world.config['aws_account_name']}/{world.seeded.vpc_id}"

    def read(self, name):
        return json.loads(self.s3.get_object(Bucket=self.bucket, Key=f"{self.prefix}/{name}")["Body"].read())

    def write(self, name, doc, *, digest=True):
        if digest:  # a forger recomputes the plain digest; the signature needs the key
            doc = {k: v for k, v in doc.items() if k != "sha256"}
            canonical = json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
            doc["sha256"] = hashlib.sha256(canonical.encode("utf-8")).hexdigest()
        self.s3.put_object(Bucket=self.bucket, Key=f"{self.prefix}/{name}", Body=json.dumps(doc).encode())

    def edit(self, name, change):
        doc = self.read(name)
        change(doc)
        self.write(name, doc)


def first(doc, kind):
    return next(e["state"] for e in doc["entries"] if e["class"].endswith(kind))


def route(table, destination):
    return {"route_table_id": table, "destination_key": "DestinationCidrBlock", "destination": destination}


# ---- the forgeries: (name, configuration overrides, set-up before the first run, forgery, refusal text)


def untouched_table(world, bucket):
    zone = world.seeded.zones[1]
    entry = {
        **route(zone.public_route_table_id, "0.0.0.0/0"),
        "target_kind": "nat_gateway",
        "target_id": zone.nat_gateway_id,
        "nat_subnet_id": zone.public_subnet_id,
    }
    bucket.edit(MEMENTOS, lambda d: first(d, "SnapshotRTMemento")["routes"].append(entry))


def private_natgw(world):
    world.aws._seed_private_natgw(world.aws.client("ec2"), world.seeded)


def onprem_route(world, bucket):
    entry = route(world.seeded.zones[2].private_route_table_id, "172.16.0.0/12")
    bucket.edit(MEMENTOS, lambda d: first(d, "NatGwDeleteMemento")["routes"].append(entry))


def new_route(world, bucket):
    entry = route(world.seeded.zones[2].private_route_table_id, "172.16.5.0/24")
    bucket.edit(MEMENTOS, lambda d: first(d, "NatGwTrafficMemento")["routes"].append(entry))


def spare_eip(world, bucket):
    spare = world.aws.client("ec2").allocate_address(Domain="vpc")["PublicIp"]
    bucket.edit(MEMENTOS, lambda d: first(d, "NatGwDeleteMemento").update(secondary_eips=[spare]))


def moved_natgw(world, bucket):
    subnet = world.seeded.zones[0].private_subnet_id
    bucket.edit(COMMANDS, lambda d: d["commands"][0]["natgws"][0].update(subnet_id=subnet))
    bucket.edit(MEMENTOS, lambda d: first(d, "NatGwDeleteMemento").update(subnet_id=subnet))


def stripped_signature(world, bucket):
    for name in (MEMENTOS, COMMANDS):
        doc = bucket.read(name)
        doc.pop("signature", None)
        bucket.write(name, doc)


def replayed(world, bucket):
    older = copy.deepcopy(world.drill_older)
    bucket.write(MEMENTOS, older, digest=False)


FORGERIES = [
    ("a route of an untouched table sent to a NAT gateway", {}, None, untouched_table, "no step of this"),
    (
        "the on-premises route moved off the private NAT gateway",
        {},
        private_natgw,
        onprem_route,
        "not a route",
    ),
    ("a route created where none was", {}, None, new_route, "does not exist"),
    ("a spare Elastic IP for the recreated NAT gateway", {}, None, spare_eip, "held at discovery"),
    ("the discovery and the journal moving a NAT gateway", {}, None, moved_natgw, "but AWS has it in"),
    ("the signatures stripped", {"journal_key_env": KEY_ENV}, None, stripped_signature, "is not signed"),
    ("an older signed journal replayed", {"journal_key_env": KEY_ENV}, "replay", replayed, "is lower than"),
]


def fresh_machine(world):
    folder = world.backup_folder
    shutil.rmtree(folder, ignore_errors=True)
    parent, name = os.path.split(os.path.abspath(folder))
    seen = os.path.join(parent, f".{name}.journal-seen.json")
    if os.path.exists(seen):
        os.unlink(seen)


def cloud(world):
    """AWS and the controller as they are (the journal is looked at as it is, forged or not)."""
    from tidewall.commands import journal_trust

    with journal_trust.adopting():
        state = world.end_state()
    return state.zones, state.controller


def drill(world, name, overrides, setup, forge, expect):
    """Problems of one forgery (empty when it was refused everywhere and nothing changed)."""
    world.reset(**overrides)
    env = {KEY_ENV: os.environ[KEY_ENV]}
    if setup is private_natgw:
        setup(world)
    if setup == "replay":
        result = world.run("execute", "--stop-before", "1", "--yes", env=env)
        world.drill_older = Bucket(world).read(MEMENTOS)
        result = world.run("execute", "--stop-before", "2", "--yes", env=env)
    else:
        result = world.run("execute", "--stop-before", "1", "--yes", env=env)
    if result.status != 0:
        return [f"the first run ended with {result.status}: {result.stderr[-500:]}"]
    forge(world, Bucket(world))
    fresh_machine(world)
    before = cloud(world)
    problems = []
    for command in ("revert", "execute"):
        result = world.run(command, "--yes", env=env)
        if result.status != 2:
            problems.append(f"{command} ended with {result.status}, not 2")
        elif expect not in result.stderr:
            problems.append(f"{command} did not name the finding {expect!r}: {result.stderr[-300:]}")
        if cloud(world) != before:
            problems.append(f"{command} changed AWS or the controller")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-v", "--verbose", action="store_true", help="print every forgery")
    parser.add_argument("--only", metavar="I,J", help="only these forgeries (counted from 0)")
    args = parser.parse_args(argv)
    chosen = FORGERIES
    if args.only:
        chosen = [FORGERIES[int(i)] for i in args.only.split(",")]
    warnings.filterwarnings("ignore")
    os.environ[KEY_ENV] = "drill-key-5e1d"
    logging.getLogger("tidewall").setLevel(logging.ERROR)  # the drill's own looks at the journal are quiet
    refused = 0
    with tempfile.TemporaryDirectory(prefix="trust-drill-") as workdir:
        with FaultWorld(nat_gateways=3, workdir=workdir, durations=Durations.instant()) as world:
            for name, overrides, setup, forge, expect in chosen:
                started = time.monotonic()
                problems = drill(world, name, overrides, setup, forge, expect)
                refused += not problems
                if problems or args.verbose:
                    verdict = "refused" if not problems else "NOT refused: " + "; ".join(problems)
                    print(f"  {name}: {verdict} ({time.monotonic() - started:.0f} s)", flush=True)
    n = len(chosen)
    changed = "AWS and controller unchanged" if refused == n else "see above"
    print(f"{refused} of {n} forgeries refused, {changed}", flush=True)
    return 0 if refused == n else 1


if __name__ == "__main__":
    os.environ.setdefault("PYTHONWARNINGS", "ignore")
    sys.exit(main())
