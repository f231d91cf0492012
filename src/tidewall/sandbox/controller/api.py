"""The simulated controller's API: its actions, their parameters, and the records it answers with.

`ControllerApi.handle(params)` answers one request given as a field mapping: the session is checked, the
action's fields are read and checked, the backend does the work, and the reply is the controller's JSON
(`return`, and `results` or `reason`).
"""

from __future__ import annotations

import threading
from collections import deque

from tidewall.sandbox.controller.backend import SESSION_EXPIRED, SIZE_RE, Refused

VERSION = "7.2.0"
AWS_CLOUD_TYPE = "1"


def parse_tags(text):
    """'k1:v1,k2:v2' -> {'k1': 'v1', 'k2': 'v2'}; an empty text means no tags."""
    tags = {}
    if not text:
        return tags
    for item in text.split(","):
        key, sep, value = item.partition(":")
        if not sep or not key.strip():
            raise Refused(f"Invalid tag '{item}': tags must be key:value pairs separated by ','")
        tags[key.strip()] = value.strip()
    return tags


def require(params, *names):
    values = []
    for name in names:
        value = params.get(name)
        if value is None or value == "":
            raise Refused(f"{name} is required")
        values.append(value)
    return values if len(values) > 1 else values[0]


def check_cloud_type(params):
    cloud_type = str(require(params, "cloud_type"))
    if cloud_type != AWS_CLOUD_TYPE:
        raise Refused(f"Cloud type {cloud_type} is not supported")


class ControllerApi:
    def __init__(self, backend):
        self.backend = backend
        self._lock = threading.Lock()
        self._failures = {}  # action -> deque of reasons

    def fail_next(self, action, reason):
        with self._lock:
            self._failures.setdefault(action, deque()).append(reason)

    def clear_failures(self):
        with self._lock:
            self._failures.clear()

    def _queued_failure(self, action):
        with self._lock:
            queued = self._failures.get(action)
            return queued.popleft() if queued else None

    def handle(self, params):
        """Answer one API request given as a field mapping (also usable without HTTP)."""
        action = params.get("action") or ""
        queued = self._queued_failure(action)
        if queued is not None:
            return {"return": False, "reason": queued}
        if action == "login":
            return self._login(params)
        handler = self.ACTIONS.get(action)
        if handler is None:
            return {"return": False, "reason": f"Valid action required: '{action}' is not an action"}
        if not self.backend.cid_valid(params.get("CID")):
            return {"return": False, "reason": SESSION_EXPIRED}
        try:
            return handler(self, params)
        except Refused as exc:
            return {"return": False, "reason": exc.reason}

    # -------------------------------------------------------------------------- login, accounts

    def _login(self, params):
        username = params.get("username") or ""
        cid = self.backend.login(username, params.get("password"))
        if cid is None:
            return {"return": False, "reason": "Invalid username or password"}
        return {
            "return": True,
            "CID": cid,
            "version": VERSION,
            "results": f"User {username} logged in successfully",
        }

    def _logout(self, params):
        self.backend.logout(params.get("CID"))
        return {"return": True, "results": "Logged out"}

    def _list_accounts(self, params):
        records = [
            {"account_name": a.name, "cloud_type": a.cloud_type, "aws_account_number": a.number}
            for a in self.backend.accounts.values()
        ]
        return {"return": True, "results": {"account_list": records}}

    def _add_account(self, params):
        name = require(params, "account_name")
        check_cloud_type(params)
        number = require(params, "aws_account_number")
        self.backend.new_account(name, number)
        return {"return": True, "results": f"Account {name} has been added"}

    # ----------------------------------------------------------------------------------- records

    def summary_record(self, gw):
        record = {
            "gw_name": gw.name,
            "vpc_id": gw.vpc_id,
            "vpc_region": gw.region,
            "account_name": gw.account_name,
            "cloud_type": 1,
            "gw_size": gw.size,
            "public_subnet": gw.subnet_cidr,
            "gw_subnet_id": gw.subnet_id,
            "private_ip": gw.private_ip,
            "public_ip": gw.public_ip,
            "instance_id": gw.instance_id,
            "snat": gw.snat,
            "tags": dict(gw.tags),
        }
        if gw.is_ha:
            record["primary_gw_name"] = gw.primary
        else:
            record["hagw_details_list"] = [self.summary_record(ha) for ha in self.backend.ha_of(gw.name)]
        return record

    @staticmethod
    def info_record(gw):
        return {
            "gw_name": gw.name,
            "gw_subnet_cidr": gw.subnet_cidr,
            "gw_subnet_id": gw.subnet_id,
            "vpc_size": gw.size,
            "vpc_id": gw.vpc_id,
            "vpc_region": gw.region,
            "account_name": gw.account_name,
            "cloud_type": 1,
            "public_ip": gw.public_ip,
            "private_ip": gw.private_ip,
            "instance_id": gw.instance_id,
            "is_hagw": "yes" if gw.is_ha else "no",
            "primary_gw_name": gw.primary,
            "gw_type": "classic" if gw.classic else "hs",
            "snat": gw.snat,
            "tags": dict(gw.tags),
        }

    # -------------------------------------------------------------------------------------- reads

    def _list_vpcs_summary(self, params):
        account = params.get("account_name") or ""
        name = params.get("gateway_name") or ""
        gateways = self.backend.gateways
        if name:
            gw = gateways.get(name)
            if gw is None or (account and gw.account_name != account):
                raise Refused(f"Gateway {name} does not exist")
            return {"return": True, "results": [self.summary_record(gw)]}
        primaries = [
            gw for gw in gateways.values() if not gw.is_ha and (not account or gw.account_name == account)
        ]
        return {"return": True, "results": [self.summary_record(gw) for gw in primaries]}

    def _get_gateway_info(self, params):
        gw = self.backend.gateway(require(params, "gateway_name"))
        return {"return": True, "results": self.info_record(gw)}

    def _list_primary_and_ha_spoke_gateways(self, params):
        records = [
            {
                "name": gw.name,
                "vpc_id": gw.vpc_id,
                "gw_size": gw.size,
                "subnet_cidr": gw.subnet_cidr,
                "public_ip": gw.public_ip,
                "private_ip": gw.private_ip,
                "primary_gw_name": gw.primary,
                "is_hagw": "yes" if gw.is_ha else "no",
                "gw_type": "classic" if gw.classic else "hs",
            }
            for gw in self.backend.gateways.values()
        ]
        return {"return": True, "results": records}

    # ---------------------------------------------------------------------------------- HS spokes

    def _create_multicloud_primary_gateway(self, params):
        check_cloud_type(params)
        account, vpc_id, region, name, size, subnet = require(
            params, "account_name", "vpc_id", "vpc_region", "gw_name", "gw_size", "gw_subnet"
        )
        tags = parse_tags(params.get("tag"))
        self.backend.create(
            name,
            vpc_id=vpc_id,
            account_name=account,
            region=region,
            subnet_cidr=subnet,
            size=size,
            eip=params.get("eip"),
            tags=tags,
        )
        return {"return": True, "results": f"Successfully created gateway {name}"}

    def _create_multicloud_ha_gateway(self, params):
        check_cloud_type(params)
        primary_name, size, subnet = require(params, "primary_gw_name", "gw_size", "gw_subnet")
        primary = self.backend.gateway(primary_name)
        if primary.is_ha or primary.classic:
            raise Refused(f"Gateway {primary_name} is not a primary HS spoke gateway")
        name = params.get("ha_gw_name") or ""
        if not name:
            if (params.get("autogen_hagw_name") or "no") != "yes":
                raise Refused("ha_gw_name is required unless autogen_hagw_name is yes")
            name = self.backend.free_ha_name(primary_name)
        tags = parse_tags(params.get("tag"))
        self.backend.create(
            name, primary=primary_name, subnet_cidr=subnet, size=size, eip=params.get("eip"), tags=tags
        )
        return {"return": True, "results": f"Successfully created HA gateway {name}", "ha_gw_name": name}

    def _delete_multicloud_gateway(self, params):
        gw = self.backend.gateway(require(params, "gw_name"))
        if gw.classic:
            raise Refused(f"Gateway {gw.name} is a classic spoke gateway: use delete_container")
        ha = self.backend.ha_of(gw.name)
        if ha:
            names = ", ".join(h.name for h in ha)
            raise Refused(f"Gateway {gw.name} still has HA gateways ({names}): delete them first")
        self.backend.delete(gw)
        return {"return": True, "results": f"Gateway {gw.name} has been deleted"}

    # ----------------------------------------------------------------------------- classic spokes

    def _create_spoke_gw(self, params):
        check_cloud_type(params)
        account, name, size, subnet, vpc_id, region = require(
            params, "account_name", "gw_name", "gw_size", "public_subnet", "vpc_id", "region"
        )
        self.backend.create(
            name,
            vpc_id=vpc_id,
            account_name=account,
            region=region,
            subnet_cidr=subnet,
            size=size,
            eip=params.get("eip"),
            classic=True,
        )
        return {"return": True, "results": f"Successfully created spoke gateway {name}"}

    def _classic_primary(self, name):
        gw = self.backend.gateway(name)
        if not gw.classic or gw.is_ha:
            raise Refused(f"Gateway {name} is not a classic spoke gateway")
        return gw

    def _enable_spoke_ha(self, params):
        name, subnet = require(params, "gw_name", "public_subnet")
        gw = self._classic_primary(name)
        if self.backend.ha_of(name):
            raise Refused(f"HA is already enabled on gateway {name}")
        ha = self.backend.create(f"{name}-hagw", primary=name, subnet_cidr=subnet, size=gw.size, classic=True)
        return {"return": True, "results": f"HA gateway {ha.name} enabled for {name}"}

    def _disable_spoke_ha(self, params):
        name = require(params, "gw_name")
        self._classic_primary(name)
        ha = self.backend.ha_of(name)
        if not ha:
            raise Refused(f"HA is not enabled on gateway {name}")
        for gw in ha:
            self.backend.delete(gw)
        return {"return": True, "results": f"HA disabled on gateway {name}"}

    def _delete_container(self, params):
        check_cloud_type(params)
        gw = self._classic_primary(require(params, "gw_name"))
        if self.backend.ha_of(gw.name):
            raise Refused(f"HA is enabled on gateway {gw.name}: disable it first")
        self.backend.delete(gw)
        return {"return": True, "results": f"Gateway {gw.name} has been deleted"}

    # ------------------------------------------------------------------------------ other changes

    def _change_gateway_size(self, params):
        name, size = require(params, "gw_name", "gw_size")
        gw = self.backend.gateway(name)
        if not SIZE_RE.match(size):
            raise Refused(f"Invalid gateway size '{size}'")
        if gw.size == size:
            return {"return": True, "results": f"Gateway {name} is already {size}"}
        self.backend.resize(gw, size)
        return {"return": True, "results": f"Gateway {name} resized to {size}"}

    def _enable_snat(self, params):
        gw = self.backend.gateway(require(params, "gateway_name"))
        changed = self.backend.set_snat(gw, True)
        text = "enabled" if changed else "was already enabled"
        return {"return": True, "results": f"Single IP SNAT {text} on gateway {gw.name}"}

    def _disable_snat(self, params):
        gw = self.backend.gateway(require(params, "gateway_name"))
        changed = self.backend.set_snat(gw, False)
        text = "disabled" if changed else "was already disabled"
        return {"return": True, "results": f"SNAT {text} on gateway {gw.name}"}

    ACTIONS = {
        "logout": _logout,
        "list_accounts": _list_accounts,
        "add_account": _add_account,
        "list_vpcs_summary": _list_vpcs_summary,
        "get_gateway_info": _get_gateway_info,
        "list_primary_and_ha_spoke_gateways": _list_primary_and_ha_spoke_gateways,
        "create_spoke_gw": _create_spoke_gw,
        "enable_spoke_ha": _enable_spoke_ha,
        "create_multicloud_primary_gateway": _create_multicloud_primary_gateway,
        "create_multicloud_ha_gateway": _create_multicloud_ha_gateway,
        "change_gateway_size": _change_gateway_size,
        "enable_snat": _enable_snat,
        "disable_snat": _disable_snat,
        "disable_spoke_ha": _disable_spoke_ha,
        "delete_container": _delete_container,
        "delete_multicloud_gateway": _delete_multicloud_gateway,
    }
