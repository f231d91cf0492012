"""The fleet file: the VPCs of a fleet, each a whole configuration made of the defaults and its own entry.

    defaults:                      # any configuration field, for every VPC
      controller_ip: 10.10.0.5
      controller_user: admin
      controller_password_env: TIDEWALL_CONTROLLER_PASSWORD
      s3_bucket: acme-network-migrations
      aws: {retry_mode: adaptive}
    vpcs:                          # one entry per VPC; its fields override the defaults
      - {vpc_id: vpc-0123456789abcdef0, region: eu-west-1, aws_account_name: prod, spoke_gw_name: prod-euw1}
      - {vpc_id: vpc-0fedcba9876543210, region: us-east-1, aws_account_name: prod, spoke_gw_name: prod-use1,
         aws: {profile: prod-us}}

A mapping field (`aws`, `waits`, `input_test_config`) given in both is merged key by key, the entry's keys
winning (`null` takes a default's key away). Each entry is checked as a configuration of its own, with the
same checks `tidewall execute` makes, before any VPC runs; an error names the entry (its position and VPC)
and the field. Two entries may not name the same VPC, the same spoke gateway on the same controller, or
the same test results file.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass

from tidewall.core.ConfigAdaptor import read_yaml
from tidewall.core.exceptions import UsageError

TOP_LEVEL = ("defaults", "vpcs")
# Fields whose mapping values are merged key by key rather than replaced.
_MERGED = ("aws", "waits", "input_test_config")


class FleetFileError(UsageError):
    """A fleet file that cannot be used; nothing was run."""


@dataclass
class FleetEntry:
    """One VPC of the fleet: its position in the file, its checked configuration and the mapping behind it."""

    index: int
    config: dict  # the merged configuration, as written to the VPC's own configuration file
    adaptor: object  # the checked ConfigAdaptor

    @property
    def vpc_id(self):
        return self.adaptor.vpc_id

    @property
    def account(self):
        return self.adaptor.aws_account_name

    @property
    def region(self):
        return self.adaptor.region

    @property
    def label(self):
        return f"vpcs[{self.index}] ({self.vpc_id})"


@dataclass
class Fleet:
    path: str
    entries: list  # FleetEntry, in file order

    def select(self, only):
        """The entries named by `only` (VPC ids; None: all), in file order. Unknown ids are a FleetFileError."""
        if not only:
            return list(self.entries)
        known = {e.vpc_id for e in self.entries}
        unknown = [v for v in only if v not in known]
        if unknown:
            raise FleetFileError(
                f"--only names VPCs that are not in the fleet file {self.path}: {', '.join(unknown)}"
            )
        wanted = set(only)
        return [e for e in self.entries if e.vpc_id in wanted]


def _merge(defaults, entry):
    merged = dict(defaults)
    for key, value in entry.items():
        base = merged.get(key)
        if key in _MERGED and isinstance(base, Mapping) and isinstance(value, Mapping):
            both = dict(base)
            both.update(value)
            value = {k: v for k, v in both.items() if v is not None}
        merged[key] = value
    return merged


def _load(path):
    data = read_yaml(path, "fleet file", FleetFileError)
    if data is None:
        raise FleetFileError(f"the fleet file is empty: {path}")
    if not isinstance(data, Mapping):
        raise FleetFileError(f"fleet file {path} must hold a mapping with 'defaults' and 'vpcs'")
    unknown = [str(k) for k in data if k not in TOP_LEVEL]
    if unknown:
        raise FleetFileError(
            f"fleet file {path}: unknown top-level field(s) {', '.join(repr(k) for k in unknown)}; "
            "expected 'defaults' and 'vpcs'"
        )
    return data


def check_entry(ca, command):
    """The checks a single command makes before it runs, for one entry's configuration (UsageError)."""
    from tidewall import runner

    runner.check_inputs(ca, command)  # the password and journal key variables with the rest (unlock: neither)


def load_fleet(path, command="execute"):
    """The checked Fleet of the file at `path`, for `command`; FleetFileError names the entry and field."""
    from tidewall.core.ConfigAdaptor import ConfigAdaptor, ConfigError

    path = os.fspath(path)
    data = _load(path)
    defaults = data.get("defaults") or {}
    if not isinstance(defaults, Mapping):
        raise FleetFileError(f"fleet file {path}: 'defaults' must be a mapping of configuration fields")
    bad = [k for k in defaults if not isinstance(k, str)]
    if bad:
        raise FleetFileError(f"fleet file {path}: 'defaults': field names must be text, got {bad[0]!r}")
    vpcs = data.get("vpcs")
    if not isinstance(vpcs, list) or not vpcs:
        raise FleetFileError(f"fleet file {path}: 'vpcs' must be a list with one entry per VPC")

    entries = []
    for index, raw in enumerate(vpcs):
        if not isinstance(raw, Mapping):
            raise FleetFileError(
                f"fleet file {path}: vpcs[{index}] must be a mapping of configuration fields, "
                f"got {type(raw).__name__}"
            )
        config = _merge(defaults, raw)
        vpc = config.get("vpc_id")
        label = f"vpcs[{index}]" + (f" ({vpc})" if isinstance(vpc, str) and vpc.isprintable() else "")
        try:
            ca = ConfigAdaptor(config)
            check_entry(ca, command)
        except (ConfigError, UsageError) as e:
            raise FleetFileError(f"fleet file {path}: {label}: {e}") from None
        entries.append(FleetEntry(index, config, ca))
    _refuse_duplicates(path, entries)
    return Fleet(path, entries)


def _refuse_duplicates(path, entries):
    """Two entries that would run on the same VPC, spoke gateway or results file."""
    seen = {}

    def once(key, entry, field, why):
        if key in seen:
            first = seen[key]
            raise FleetFileError(
                f"fleet file {path}: {entry.label}: configuration field '{field}': the same as {first.label}; "
                f"{why}"
            )
        seen[key] = entry

    for entry in entries:
        ca = entry.adaptor
        once(("vpc", ca.vpc_id), entry, "vpc_id", "each VPC may appear once")
        once(
            ("spoke", ca.controller_ip, ca.spoke_gw_name),
            entry,
            "spoke_gw_name",
            "spoke gateway names are unique on a controller: give each VPC its own",
        )
        out = ca.output_test_config
        if isinstance(out, str | os.PathLike):
            once(
                ("results", os.path.abspath(os.path.expanduser(os.fspath(out)))),
                entry,
                "output_test_config",
                "VPCs run at the same time would overwrite each other's results: give each its own file",
            )
