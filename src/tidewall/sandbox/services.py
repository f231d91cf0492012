"""The sandbox's services: a simulated AWS account and controller on 127.0.0.1, a seeded VPC, and the files
that tell the tool (and scripts) how to reach them.

    with Services(workdir, nat_gateways=3) as services:
        services.config_path      # a tool configuration for the seeded VPC
        services.info_path        # sandbox.json: endpoints, password, VPC, region, bucket

Both services share one world clock (`time_scale` real seconds per world second) and, with `durations`,
take the time a real cloud takes; the configuration they write tells the tool the same time scale, so its
waits run on that clock too. Without `durations` the world is instant (moto as it is).

With `vpcs=K` it seeds K VPCs instead, alternately in two regions (`FLEET_REGIONS`), behind the one
controller, with one backup bucket, and also writes `fleet.yaml`, a fleet file of them all (`config.yaml`
is then the first VPC's configuration).

The controller password is made up per start and put into the process environment under `PASSWORD_ENV`
while the services run (the configuration names the variable, never the password).
"""

from __future__ import annotations

import json
import os
import secrets
import tempfile
import warnings

import yaml

PASSWORD_ENV = "TIDEWALL_SANDBOX_PASSWORD"
CONTROLLER_USER = "admin"
ACCOUNT_NAME = "sandbox-aws"
SPOKE_NAME = "egress-spoke"
SPOKE_TAG = "env,sandbox,owner,tidewall"
CONFIG_FILE = "config.yaml"
INFO_FILE = "sandbox.json"
FLEET_FILE = "fleet.yaml"
FLEET_REGIONS = ("us-east-1", "us-west-2")
# The fields each VPC of a sandbox fleet sets itself; the rest are the fleet's defaults.
_FLEET_ENTRY_FIELDS = ("vpc_id", "region", "spoke_gw_name", "enable_test", "output_test_config")


def _atomic_write(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def tool_config(aws, seeded, ctl, workdir, enable_test=False, keep_egress=True):
    """The tool's configuration for the seeded VPC (a mapping, as written to config.yaml); its waits run on
    the world's clock, and the simulated AWS spreads a route change at once (no grace after a park)."""
    config = {
        "controller_ip": ctl.address,
        "controller_user": CONTROLLER_USER,
        "controller_password_env": PASSWORD_ENV,
        "aws_account_name": ACCOUNT_NAME,
        "aws_account_number": str(aws.account_id),
        "region": seeded.region,
        "vpc_id": seeded.vpc_id,
        "s3_bucket": seeded.bucket,
        "backup_root": os.path.join(workdir, "backups"),
        "spoke_gw_name": SPOKE_NAME,
        "spoke_gw_tag": SPOKE_TAG,
        "hs_mode": 2,
        "enable_test": bool(enable_test),
        "aws": aws.aws_config(),
        "egress": {"keep": bool(keep_egress), "grace": 0},
    }
    if enable_test:
        config["output_test_config"] = os.path.join(workdir, "test-results.json")
    if aws.clock.scale != 1.0:
        config["waits"] = {"time_scale": aws.clock.scale}
    elif enable_test:
        # A world on the real clock is an instant one: nothing lags, so a failing acceptance test is looked
        # at again for a second, not for the two minutes a real cloud may need.
        config["waits"] = {"acceptance_test": 1}
    return config


def write_config(path, aws, seeded, ctl, workdir, enable_test=False, keep_egress=True):
    config = tool_config(aws, seeded, ctl, workdir, enable_test, keep_egress)
    text = "# Written by `tidewall sandbox`: a simulated controller and AWS on 127.0.0.1.\n"
    _atomic_write(path, text + yaml.safe_dump(config, sort_keys=False))
    return config


def spoke_name_of(index):
    return f"{SPOKE_NAME}-{index}"


def fleet_config(aws, fleet, ctl, workdir, failing=()):
    """A fleet file's mapping for the seeded VPCs: their shared settings as defaults, then one entry each
    (its own spoke gateway name; the acceptance test on, with its own results file, for those `failing`)."""
    entries = []
    defaults = None
    for index, seeded in enumerate(fleet):
        test = seeded.vpc_id in failing
        config = tool_config(aws, seeded, ctl, workdir, enable_test=test)
        config["spoke_gw_name"] = spoke_name_of(index)
        if test:
            config["output_test_config"] = os.path.join(workdir, f"test-results-{seeded.vpc_id}.json")
        if defaults is None:
            defaults = {k: v for k, v in config.items() if k not in _FLEET_ENTRY_FIELDS}
        entry = {k: config[k] for k in _FLEET_ENTRY_FIELDS if k in config}
        if not entry["enable_test"]:
            del entry["enable_test"]
        entries.append(entry)
    return {"defaults": defaults, "vpcs": entries}


def write_fleet(path, aws, fleet, ctl, workdir, failing=()):
    data = fleet_config(aws, fleet, ctl, workdir, failing)
    text = "# Written by `tidewall sandbox --vpcs`: VPCs in two regions behind one simulated controller.\n"
    _atomic_write(path, text + yaml.safe_dump(data, sort_keys=False))
    return data


class Services:
    """The simulated AWS and controller, started together, with a freshly seeded VPC."""

    def __init__(
        self,
        workdir,
        nat_gateways=3,
        enable_test=False,
        *,
        time_scale=1.0,
        durations=None,
        private_natgw=False,
        secondary_eip=False,
        shapes=(),
        vpcs=None,
        failing_vpcs=(),
        metrics=True,
        keep_egress=True,
        specific_routes=False,
    ):
        self.workdir = os.path.abspath(workdir)
        self.vpcs = vpcs  # None: one VPC, as always; K: a fleet of K VPCs
        self.failing_vpcs = tuple(failing_vpcs)  # indexes of fleet VPCs whose spokes come up without EIP
        self.metrics = metrics  # fleet VPCs: seed NAT gateway metrics (sizes differ per zone)
        self.nat_gateways = nat_gateways
        self.enable_test = enable_test
        self.time_scale = time_scale
        self.durations = durations
        self.private_natgw = private_natgw
        self.secondary_eip = secondary_eip
        self.shapes = tuple(shapes)  # VPC shapes to seed (tidewall.sandbox.aws.SHAPES)
        self.keep_egress = keep_egress
        self.specific_routes = specific_routes
        self.clock = None
        self.password = None
        self.aws = None
        self.ctl = None
        self.seeded = None
        self.fleet = []  # SeededVpc of each fleet VPC
        self.config = None
        self._saved_password = None
        self._warnings = None

    @property
    def config_path(self):
        return os.path.join(self.workdir, CONFIG_FILE)

    @property
    def info_path(self):
        return os.path.join(self.workdir, INFO_FILE)

    @property
    def fleet_path(self):
        return os.path.join(self.workdir, FLEET_FILE)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        from tidewall.sandbox.aws import AwsSandbox
        from tidewall.sandbox.clock import WorldClock
        from tidewall.sandbox.controller import SimulatedController

        os.makedirs(self.workdir, exist_ok=True)
        self._warnings = warnings.catch_warnings()
        self._warnings.__enter__()
        _quiet_insecure_requests()
        self.password = secrets.token_urlsafe(18)
        self._saved_password = os.environ.get(PASSWORD_ENV)
        os.environ[PASSWORD_ENV] = self.password
        try:
            self.clock = WorldClock(self.time_scale)
            self.aws = AwsSandbox(
                nat_gateways=self.nat_gateways,
                clock=self.clock,
                durations=self.durations,
                private_natgw=self.private_natgw,
                secondary_eip=self.secondary_eip,
                regions=FLEET_REGIONS if self.vpcs else None,
                shapes=self.shapes,
                specific_routes=self.specific_routes,
            ).start()
            if self.vpcs:
                return self._start_fleet(SimulatedController)
            self.seeded = self.aws.seed()
            self.ctl = SimulatedController(
                users={CONTROLLER_USER: self.password},
                cloud=self.aws.cloud(),
                clock=self.clock,
                durations=self.durations,
            )
            self.ctl.backend.on_change = self.aws.world.changed
            self.ctl.start()
            self.config = write_config(
                self.config_path,
                self.aws,
                self.seeded,
                self.ctl,
                self.workdir,
                self.enable_test,
                keep_egress=self.keep_egress,
            )
        except BaseException:
            self.stop()
            raise
        return self

    def _start_fleet(self, controller_class):
        """Seed the fleet's VPCs, alternately in each region, sharing the first one's bucket; one controller."""
        bucket = None
        for index in range(self.vpcs):
            region = FLEET_REGIONS[index % len(FLEET_REGIONS)]
            seeded = self.aws.seed(region=region, bucket=bucket, metrics=self.metrics)
            bucket = seeded.bucket
            self.fleet.append(seeded)
        self.seeded = self.fleet[0]
        cloud = self.aws.cloud()
        failing = {self.fleet[i].vpc_id for i in self.failing_vpcs}
        cloud.withhold_eip.update(failing)
        self.ctl = controller_class(
            users={CONTROLLER_USER: self.password}, cloud=cloud, clock=self.clock, durations=self.durations
        )
        self.ctl.backend.on_change = self.aws.changed
        self.ctl.start()
        self.config = write_config(self.config_path, self.aws, self.seeded, self.ctl, self.workdir)
        write_fleet(self.fleet_path, self.aws, self.fleet, self.ctl, self.workdir, failing)
        return self

    def info(self):
        """What sandbox.json holds: where the services are and what they hold."""
        if self.fleet:
            return dict(
                self._info(),
                fleet=self.fleet_path,
                vpcs=[
                    {
                        "vpc_id": s.vpc_id,
                        "region": s.region,
                        "spoke_gw_name": spoke_name_of(i),
                        "nat_gateways": [z.nat_gateway_id for z in s.zones],
                    }
                    for i, s in enumerate(self.fleet)
                ],
            )
        return self._info()

    def _info(self):
        return {
            "aws_endpoint": self.aws.endpoint_url,
            "controller": self.ctl.address,
            "password_env": PASSWORD_ENV,
            "password": self.password,
            "vpc_id": self.seeded.vpc_id,
            "region": self.seeded.region,
            "bucket": self.seeded.bucket,
            "config": self.config_path,
            "controller_user": CONTROLLER_USER,
            "aws_access_key_id": self.aws.credentials["access_key_id"],
            "aws_secret_access_key": self.aws.credentials["secret_access_key"],
            "nat_gateways": [z.nat_gateway_id for z in self.seeded.zones],
            "time_scale": self.clock.scale,
            "durations": self.durations.to_dict() if self.durations is not None else None,
            "pid": os.getpid(),
        }

    def write_info(self):
        _atomic_write(self.info_path, json.dumps(self.info(), indent=2) + "\n")
        return self.info_path

    def remove_info(self):
        try:
            os.unlink(self.info_path)
        except FileNotFoundError:
            pass

    def stop(self):
        try:
            if self.ctl is not None:
                self.ctl.stop()
            if self.aws is not None:
                self.aws.stop()
        finally:
            self.ctl = None
            self.aws = None
            if self.password is not None:
                _restore_env(PASSWORD_ENV, self._saved_password)
                self.password = None
            if self._warnings is not None:
                self._warnings.__exit__(None, None, None)
                self._warnings = None


def _quiet_insecure_requests():
    # The controller is reached without certificate verification by design; say so once, not per request.
    try:
        from urllib3.exceptions import InsecureRequestWarning
    except ImportError:  # pragma: no cover - urllib3 comes with requests
        return
    warnings.simplefilter("ignore", InsecureRequestWarning)


def _restore_env(name, value):
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value
