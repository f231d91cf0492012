"""A network controller on this machine: the REST API the migration talks to, over HTTPS.

The controller keeps its users, login identifiers (CIDs), access accounts and spoke gateways in memory.
Gateways are either classic spokes (HA added to the gateway with ``enable_spoke_ha``) or HS spokes (one
primary plus separately created HA gateways). An optional cloud hook backs the gateways with real (or
moto) instances; without one, the controller invents instance ids, subnet ids and addresses itself.

Run it as a process with ``python -m tidewall.sandbox.controller --port 0 --user admin --password-env VAR``.
"""

from __future__ import annotations

import argparse
import hashlib
import ipaddress
import json
import logging
import os
import re
import secrets
import signal
import ssl
import sys
import threading
from collections import deque
from dataclasses import dataclass, field
from typing import NamedTuple
from urllib.parse import parse_qsl

import trustme
from werkzeug.serving import WSGIRequestHandler, make_server
from werkzeug.wrappers import Request, Response

logger = logging.getLogger("tidewall.sandbox.controller")

VERSION = "7.2.0"
API_PATHS = ("/v1/api", "/v2/api")
AWS_CLOUD_TYPE = "1"
MASK = "********"
# Form fields whose values are never kept in the request record.
SECRET_FIELDS = ("password",)

_NAME_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_-]{0,49}$")
_SIZE_RE = re.compile(r"^[a-z][a-z0-9-]*\.[a-z0-9]+$")
_ACCOUNT_NUMBER_RE = re.compile(r"^[0-9]{12}$")


class CloudError(Exception):
    """Raised by a cloud hook when the cloud refuses an operation; the request then fails unchanged."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = str(reason)


class _Refused(Exception):
    """A request the controller turns down (answered with return false)."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = str(reason)


class RecordedRequest(NamedTuple):
    method: str
    path: str
    query: list  # [(key, value)] in wire order
    form: list  # [(key, value)] in wire order; passwords masked

    @property
    def fields(self) -> dict:
        """Query and form fields merged (form wins), as the controller read them."""
        return dict(self.query) | dict(self.form)

    @property
    def action(self):
        return self.fields.get("action")


@dataclass
class Gateway:
    name: str
    primary: str | None  # name of the primary for an HA gateway, None for a primary
    vpc_id: str
    account_name: str
    region: str
    subnet_cidr: str
    subnet_id: str | None = None
    size: str = "t3.small"
    eip: str | None = None
    public_ip: str | None = None
    private_ip: str | None = None
    instance_id: str | None = None
    tags: dict = field(default_factory=dict)
    snat: bool = False
    classic: bool = False

    @property
    def is_ha(self) -> bool:
        return self.primary is not None


@dataclass
class Account:
    name: str
    number: str
    cloud_type: int = 1


def _parse_tags(text):
    """'k1:v1,k2:v2' -> {'k1': 'v1', 'k2': 'v2'}; an empty text means no tags."""
    tags = {}
    if not text:
        return tags
    for item in text.split(","):
        key, sep, value = item.partition(":")
        if not sep or not key.strip():
            raise _Refused(f"Invalid tag '{item}': tags must be key:value pairs separated by ','")
        tags[key.strip()] = value.strip()
    return tags


def _checked_subnet(cidr):
    try:
        return ipaddress.IPv4Network(cidr, strict=True)
    except ValueError:
        raise _Refused(f"Invalid subnet CIDR '{cidr}'") from None


class _QuietHandler(WSGIRequestHandler):
    # Request lines stay out of the log: GET query strings carry the CID.
    def log_request(self, code="-", size="-"):
        pass


class SimulatedController:
    def __init__(self, users=None, cloud=None, port=0):
        self.users = dict(users or {})
        self.cloud = cloud
        self._port = port
        self._lock = threading.RLock()
        self._server = None
        self._thread = None
        self.ca = None
        self.address = None
        self._clear_state()

    # ----------------------------------------------------------------- lifecycle

    def _clear_state(self):
        self._cids = {}  # CID -> username
        self._accounts = {}  # name -> Account
        self._gateways = {}  # name -> Gateway, creation order
        self._requests = []
        self._failures = {}  # action -> deque of reasons
        self._instance_counter = 0

    def start(self):
        if self._server is not None:
            return self
        self.ca = trustme.CA()
        cert = self.ca.issue_cert("127.0.0.1", "localhost")
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cert.configure_cert(context)
        self._server = make_server(
            "127.0.0.1",
            self._port,
            self._wsgi,
            threaded=True,
            request_handler=_QuietHandler,
            ssl_context=context,
        )
        self.address = f"127.0.0.1:{self._server.server_port}"
        self._thread = threading.Thread(target=self._server.serve_forever, name="controller", daemon=True)
        self._thread.start()
        logger.info("Controller listening on https://%s", self.address)
        return self

    def stop(self):
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = None
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def url(self):
        return f"https://{self.address}/v2/api"

    # ------------------------------------------------------------- test helpers

    def reset(self):
        """Forget gateways, accounts, CIDs, recorded requests and queued failures; users stay."""
        with self._lock:
            self._clear_state()

    def issue_cid(self, username):
        with self._lock:
            if username not in self.users:
                raise KeyError(f"unknown user {username}")
            cid = secrets.token_hex(12)
            self._cids[cid] = username
            return cid

    def expire_cids(self):
        """Every CID handed out so far stops being valid (a session time-out)."""
        with self._lock:
            self._cids.clear()

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests.clear()

    def fail_next(self, action, reason):
        with self._lock:
            self._failures.setdefault(action, deque()).append(reason)

    @property
    def gateways(self):
        with self._lock:
            return dict(self._gateways)

    @property
    def accounts(self):
        with self._lock:
            return dict(self._accounts)

    def add_account(self, name, number="123456789012", cloud_type=1):
        with self._lock:
            account = Account(name, number, cloud_type)
            self._accounts[name] = account
            return account

    def add_gateway(
        self,
        name,
        *,
        subnet_cidr,
        vpc_id=None,
        primary=None,
        account_name="aws-account",
        region="us-east-1",
        size="t3.small",
        eip=None,
        tags=None,
        snat=False,
        classic=False,
    ):
        """Seed a gateway as if it had been created through the API (cloud hook included).

        A primary needs ``vpc_id``; an HA gateway names its ``primary`` and inherits VPC, account and region.
        Raises ValueError when the controller would refuse the creation.
        """
        with self._lock:
            try:
                if primary is None:
                    if account_name not in self._accounts:
                        self.add_account(account_name)
                    gw = self._new_gateway(name, None, vpc_id, account_name, region, subnet_cidr, size)
                else:
                    owner = self._gateway(primary)
                    gw = self._new_gateway(
                        name, primary, owner.vpc_id, owner.account_name, owner.region, subnet_cidr, size
                    )
                gw.classic = classic
                gw.eip = eip
                gw.tags = dict(tags or {})
                self._launch(gw)
                if snat:
                    self._set_snat(gw, True)
                return gw
            except _Refused as exc:
                raise ValueError(exc.reason) from None

    # ------------------------------------------------------------------- WSGI

    def _wsgi(self, environ, start_response):
        request = Request(environ)
        query = parse_qsl(request.query_string.decode("latin-1"), keep_blank_values=True)
        form = []
        content_type = (request.mimetype or "").lower()
        body = request.get_data(cache=False)
        if body and content_type in ("", "application/x-www-form-urlencoded"):
            form = parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)
        masked_query = [(k, MASK if k in SECRET_FIELDS else v) for k, v in query]
        masked_form = [(k, MASK if k in SECRET_FIELDS else v) for k, v in form]
        with self._lock:
            self._requests.append(RecordedRequest(request.method, request.path, masked_query, masked_form))

        if request.path not in API_PATHS:
            return Response("not found\n", status=404, mimetype="text/plain")(environ, start_response)
        if request.method not in ("GET", "POST"):
            return Response("method not allowed\n", status=405, mimetype="text/plain")(
                environ, start_response
            )

        params = dict(query) | dict(form)
        status = 200
        try:
            reply = self.handle(params)
        except Exception as exc:  # a bug here or in a cloud hook: answer, and keep serving
            logger.exception("controller: request %s failed", params.get("action"))
            reply = {"return": False, "reason": f"Internal error: {exc.__class__.__name__}: {exc}"}
            status = 500
        response = Response(json.dumps(reply), status=status, mimetype="application/json")
        return response(environ, start_response)

    # --------------------------------------------------------------- dispatch

    def handle(self, params):
        """Answer one API request given as a field mapping (also usable without HTTP)."""
        action = params.get("action") or ""
        with self._lock:
            queued = self._failures.get(action)
            if queued:
                return {"return": False, "reason": queued.popleft()}
            if action == "login":
                return self._login(params)
            handler = self._ACTIONS.get(action)
            if handler is None:
                return {"return": False, "reason": f"Valid action required: '{action}' is not an action"}
            if params.get("CID") not in self._cids:
                return {"return": False, "reason": "CID is invalid or expired."}
            try:
                return handler(self, params)
            except _Refused as exc:
                return {"return": False, "reason": exc.reason}

    @staticmethod
    def _require(params, *names):
        values = []
        for name in names:
            value = params.get(name)
            if value is None or value == "":
                raise _Refused(f"{name} is required")
            values.append(value)
        return values if len(values) > 1 else values[0]

    def _gateway(self, name):
        gw = self._gateways.get(name)
        if gw is None:
            raise _Refused(f"Gateway {name} does not exist")
        return gw

    def _ha_of(self, name):
        return [gw for gw in self._gateways.values() if gw.primary == name]

    def _live(self, vpc_id, without=None, extra=None):
        gws = [gw for gw in self._gateways.values() if gw.vpc_id == vpc_id and gw is not without]
        return gws + ([extra] if extra is not None else [])

    @staticmethod
    def _check_cloud_type(params):
        cloud_type = str(SimulatedController._require(params, "cloud_type"))
        if cloud_type != AWS_CLOUD_TYPE:
            raise _Refused(f"Cloud type {cloud_type} is not supported")

    # ------------------------------------------------------------ login, accounts

    def _login(self, params):
        username = params.get("username") or ""
        password = params.get("password")
        if username not in self.users or password is None or password != self.users[username]:
            return {"return": False, "reason": "Invalid username or password"}
        cid = secrets.token_hex(12)
        self._cids[cid] = username
        return {
            "return": True,
            "CID": cid,
            "version": VERSION,
            "results": f"User {username} logged in successfully",
        }

    def _logout(self, params):
        self._cids.pop(params.get("CID"), None)
        return {"return": True, "results": "Logged out"}

    def _list_accounts(self, params):
        records = [
            {"account_name": a.name, "cloud_type": a.cloud_type, "aws_account_number": a.number}
            for a in self._accounts.values()
        ]
        return {"return": True, "results": {"account_list": records}}

    def _add_account(self, params):
        name = self._require(params, "account_name")
        self._check_cloud_type(params)
        number = self._require(params, "aws_account_number")
        if not _NAME_RE.match(name):
            raise _Refused(f"Invalid account name '{name}'")
        if not _ACCOUNT_NUMBER_RE.match(number):
            raise _Refused(f"Invalid AWS account number '{number}': 12 digits expected")
        if name in self._accounts:
            raise _Refused(f"Account {name} already exists")
        self.add_account(name, number)
        return {"return": True, "results": f"Account {name} has been added"}

    # --------------------------------------------------------------- records

    def _summary_record(self, gw):
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
            record["hagw_details_list"] = [self._summary_record(ha) for ha in self._ha_of(gw.name)]
        return record

    def _info_record(self, gw):
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

    # ------------------------------------------------------------ read actions

    def _list_vpcs_summary(self, params):
        account = params.get("account_name") or ""
        name = params.get("gateway_name") or ""
        if name:
            gw = self._gateways.get(name)
            if gw is None or (account and gw.account_name != account):
                raise _Refused(f"Gateway {name} does not exist")
            return {"return": True, "results": [self._summary_record(gw)]}
        primaries = [
            gw
            for gw in self._gateways.values()
            if not gw.is_ha and (not account or gw.account_name == account)
        ]
        return {"return": True, "results": [self._summary_record(gw) for gw in primaries]}

    def _get_gateway_info(self, params):
        gw = self._gateway(self._require(params, "gateway_name"))
        return {"return": True, "results": self._info_record(gw)}

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
            for gw in self._gateways.values()
        ]
        return {"return": True, "results": records}

    # ----------------------------------------------------- gateway life cycle

    def _new_gateway(self, name, primary, vpc_id, account_name, region, subnet_cidr, size):
        """Validate a creation request and build the (not yet launched) gateway."""
        if not name or not _NAME_RE.match(name):
            raise _Refused(f"Invalid gateway name '{name}'")
        if name in self._gateways:
            raise _Refused(f"Gateway {name} already exists")
        if not vpc_id:
            raise _Refused("vpc_id is required")
        if not size or not _SIZE_RE.match(size):
            raise _Refused(f"Invalid gateway size '{size}'")
        if account_name not in self._accounts:
            raise _Refused(f"Account {account_name} does not exist")
        _checked_subnet(subnet_cidr)
        for other in self._gateways.values():
            if other.vpc_id == vpc_id and other.subnet_cidr == subnet_cidr:
                raise _Refused(f"Subnet {subnet_cidr} of {vpc_id} already has gateway {other.name}")
        return Gateway(name, primary, vpc_id, account_name, region, subnet_cidr, size=size)

    def _invented_private_ip(self, gw):
        net = _checked_subnet(gw.subnet_cidr)
        used = {g.private_ip for g in self._gateways.values()}
        start = 10 if net.num_addresses > 16 else 4
        for offset in range(start, net.num_addresses - 1):
            candidate = str(net.network_address + offset)
            if candidate not in used:
                return candidate
        raise _Refused(f"No free address in subnet {gw.subnet_cidr}")

    def _invented_public_ip(self):
        used = {g.public_ip for g in self._gateways.values()}
        for host in range(10, 255):
            candidate = f"198.51.100.{host}"
            if candidate not in used:
                return candidate
        raise _Refused("No public address left")

    def _launch(self, gw):
        """Give the gateway its subnet and instance and store it; nothing is kept when a step fails."""
        if gw.eip is not None:
            try:
                ipaddress.IPv4Address(gw.eip)
            except ValueError:
                raise _Refused(f"Invalid EIP '{gw.eip}'") from None
            for other in self._gateways.values():
                if gw.eip in (other.eip, other.public_ip):
                    raise _Refused(f"EIP {gw.eip} is already in use by gateway {other.name}")
        cloud = self.cloud
        if cloud is None:
            digest = hashlib.sha1(f"{gw.vpc_id}|{gw.subnet_cidr}".encode()).hexdigest()
            gw.subnet_id = "subnet-" + digest[:17]
            self._instance_counter += 1
            gw.instance_id = f"i-{self._instance_counter:017x}"
            gw.private_ip = self._invented_private_ip(gw)
            gw.public_ip = gw.eip or self._invented_public_ip()
            self._gateways[gw.name] = gw
            return gw
        try:
            gw.subnet_id = cloud.subnet_id_for(gw.vpc_id, gw.subnet_cidr)
            launched = cloud.launch(gw)
        except CloudError as exc:
            raise _Refused(exc.reason) from None
        gw.instance_id = launched["instance_id"]
        gw.private_ip = launched["private_ip"]
        gw.public_ip = launched.get("public_ip") or gw.eip
        try:
            cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id, extra=gw))
        except CloudError as exc:
            try:
                cloud.terminate(gw)
            except CloudError:
                logger.warning("controller: could not terminate %s after a routing failure", gw.name)
            raise _Refused(exc.reason) from None
        self._gateways[gw.name] = gw
        return gw

    def _terminate(self, gw):
        cloud = self.cloud
        if cloud is not None:
            try:
                cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id, without=gw))
            except CloudError as exc:
                raise _Refused(exc.reason) from None
            try:
                cloud.terminate(gw)
            except CloudError as exc:
                try:
                    cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id))
                except CloudError:
                    logger.warning("controller: could not restore routing of %s", gw.vpc_id)
                raise _Refused(exc.reason) from None
        del self._gateways[gw.name]

    def _set_snat(self, gw, on):
        if gw.snat == on:
            return False
        gw.snat = on
        if self.cloud is not None:
            try:
                self.cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id))
            except CloudError as exc:
                gw.snat = not on
                raise _Refused(exc.reason) from None
        return True

    # ------------------------------------------------------------ HS actions

    def _create_multicloud_primary_gateway(self, params):
        self._check_cloud_type(params)
        account, vpc_id, region, name, size, subnet = self._require(
            params, "account_name", "vpc_id", "vpc_region", "gw_name", "gw_size", "gw_subnet"
        )
        gw = self._new_gateway(name, None, vpc_id, account, region, subnet, size)
        gw.eip = params.get("eip") or None
        gw.tags = _parse_tags(params.get("tag"))
        self._launch(gw)
        return {"return": True, "results": f"Successfully created gateway {name}"}

    def _create_multicloud_ha_gateway(self, params):
        self._check_cloud_type(params)
        primary_name, size, subnet = self._require(params, "primary_gw_name", "gw_size", "gw_subnet")
        primary = self._gateway(primary_name)
        if primary.is_ha or primary.classic:
            raise _Refused(f"Gateway {primary_name} is not a primary HS spoke gateway")
        name = params.get("ha_gw_name") or ""
        if not name:
            if (params.get("autogen_hagw_name") or "no") != "yes":
                raise _Refused("ha_gw_name is required unless autogen_hagw_name is yes")
            name = f"{primary_name}-hagw"
            n = 2
            while name in self._gateways:
                name = f"{primary_name}-hagw-{n}"
                n += 1
        gw = self._new_gateway(
            name, primary_name, primary.vpc_id, primary.account_name, primary.region, subnet, size
        )
        gw.eip = params.get("eip") or None
        gw.tags = _parse_tags(params.get("tag"))
        self._launch(gw)
        return {"return": True, "results": f"Successfully created HA gateway {name}", "ha_gw_name": name}

    def _delete_multicloud_gateway(self, params):
        gw = self._gateway(self._require(params, "gw_name"))
        if gw.classic:
            raise _Refused(f"Gateway {gw.name} is a classic spoke gateway: use delete_container")
        ha = self._ha_of(gw.name)
        if ha:
            names = ", ".join(h.name for h in ha)
            raise _Refused(f"Gateway {gw.name} still has HA gateways ({names}): delete them first")
        self._terminate(gw)
        return {"return": True, "results": f"Gateway {gw.name} has been deleted"}

    # -------------------------------------------------------- classic actions

    def _create_spoke_gw(self, params):
        self._check_cloud_type(params)
        account, name, size, subnet, vpc_id, region = self._require(
            params, "account_name", "gw_name", "gw_size", "public_subnet", "vpc_id", "region"
        )
        gw = self._new_gateway(name, None, vpc_id, account, region, subnet, size)
        gw.classic = True
        gw.eip = params.get("eip") or None
        self._launch(gw)
        return {"return": True, "results": f"Successfully created spoke gateway {name}"}

    def _classic_primary(self, name):
        gw = self._gateway(name)
        if not gw.classic or gw.is_ha:
            raise _Refused(f"Gateway {name} is not a classic spoke gateway")
        return gw

    def _enable_spoke_ha(self, params):
        name, subnet = self._require(params, "gw_name", "public_subnet")
        gw = self._classic_primary(name)
        if self._ha_of(name):
            raise _Refused(f"HA is already enabled on gateway {name}")
        ha = self._new_gateway(f"{name}-hagw", name, gw.vpc_id, gw.account_name, gw.region, subnet, gw.size)
        ha.classic = True
        self._launch(ha)
        return {"return": True, "results": f"HA gateway {ha.name} enabled for {name}"}

    def _disable_spoke_ha(self, params):
        name = self._require(params, "gw_name")
        self._classic_primary(name)
        ha = self._ha_of(name)
        if not ha:
            raise _Refused(f"HA is not enabled on gateway {name}")
        for gw in ha:
            self._terminate(gw)
        return {"return": True, "results": f"HA disabled on gateway {name}"}

    def _delete_container(self, params):
        self._check_cloud_type(params)
        gw = self._classic_primary(self._require(params, "gw_name"))
        if self._ha_of(gw.name):
            raise _Refused(f"HA is enabled on gateway {gw.name}: disable it first")
        self._terminate(gw)
        return {"return": True, "results": f"Gateway {gw.name} has been deleted"}

    # ---------------------------------------------------------- other changes

    def _change_gateway_size(self, params):
        name, size = self._require(params, "gw_name", "gw_size")
        gw = self._gateway(name)
        if not _SIZE_RE.match(size):
            raise _Refused(f"Invalid gateway size '{size}'")
        if gw.size == size:
            return {"return": True, "results": f"Gateway {name} is already {size}"}
        if self.cloud is not None:
            try:
                self.cloud.resize(gw, size)
            except CloudError as exc:
                raise _Refused(exc.reason) from None
        gw.size = size
        return {"return": True, "results": f"Gateway {name} resized to {size}"}

    def _enable_snat(self, params):
        gw = self._gateway(self._require(params, "gateway_name"))
        changed = self._set_snat(gw, True)
        text = "enabled" if changed else "was already enabled"
        return {"return": True, "results": f"Single IP SNAT {text} on gateway {gw.name}"}

    def _disable_snat(self, params):
        gw = self._gateway(self._require(params, "gateway_name"))
        changed = self._set_snat(gw, False)
        text = "disabled" if changed else "was already disabled"
        return {"return": True, "results": f"SNAT {text} on gateway {gw.name}"}

    _ACTIONS = {
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


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run a simulated network controller on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free port)")
    parser.add_argument("--user", default="admin", help="controller user name")
    parser.add_argument("--password-env", required=True, help="environment variable holding the password")
    parser.add_argument(
        "--account",
        action="append",
        default=[],
        metavar="NAME[:NUMBER]",
        help="access account to create at start (repeatable)",
    )
    args = parser.parse_args(argv)
    password = os.environ.get(args.password_env)
    if not password:
        parser.error(f"environment variable {args.password_env} is not set")

    ctl = SimulatedController(users={args.user: password}, port=args.port)
    for entry in args.account:
        name, _, number = entry.partition(":")
        ctl.add_account(name, number or "123456789012")
    ctl.start()
    print(ctl.address, flush=True)

    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    ctl.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
