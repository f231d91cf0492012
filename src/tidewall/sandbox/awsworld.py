"""What moto lacks of a real AWS account, added around moto's in-process EC2 backend.

moto answers at once and forgives much: a NAT gateway is `available` the moment it is created and `deleted`
the moment its deletion is asked, its Elastic IP stays associated with it for ever, routes to it stay
`active`, a new NAT gateway is visible to every describe at once, a client token is ignored, and nothing is
ever throttled. `AwsWorld` makes one moto account and region behave like EC2:

- a new NAT gateway is `pending` for `natgw_pending` world seconds, then `available` (or `failed` with
  `Resource.AlreadyAssociated` when its Elastic IP was still held elsewhere); describes do not show it for
  `describe_lag` seconds (`NatGatewayNotFound` for its id); a repeated `ClientToken` returns the first
  gateway, as EC2's idempotent create does; it can take secondary Elastic IPs and a chosen private IP;
- a deleted NAT gateway is `deleting` for `natgw_deleting` seconds, still holding its Elastic IPs, then
  `deleted`: its addresses are disassociated (not released), its network interface is gone, and the routes
  that pointed at it show `blackhole` (as routes to a stopped or terminated instance do);
- an Elastic IP held by a NAT gateway cannot be associated elsewhere, reassociation or not;
- `WorldMiddleware` sits in front of moto's server: it brings the world up to the clock before every
  request, serves one request at a time (per region; CloudWatch's aside), injects the faults of a `Chaos` into the tool's calls (never into
  the sandbox's own, whose user agent carries the sandbox's marker), and tells the egress monitor after
  every change.

Transitions are worked out lazily, at the world time they were due, before anything can look at the world.
"""

from __future__ import annotations

import contextlib
import heapq
import ipaddress
import logging
import re
import threading
import uuid
from dataclasses import dataclass, field
from urllib.parse import parse_qs

from tidewall.sandbox.accounting import INTERNAL_USER_AGENT
from tidewall.sandbox.clock import Durations, WorldClock

logger = logging.getLogger("tidewall.sandbox.awsworld")

HOLDING_STATES = ("pending", "available", "deleting")  # a NAT gateway in these states holds its EIPs
BLACKHOLE_NATGW_STATES = ("deleting", "deleted", "failed")
BLACKHOLE_INSTANCE_STATES = ("stopping", "stopped", "shutting-down", "terminated")
READ_PREFIXES = ("Describe", "Get", "List")
UNMODELLED_SERVICE = "monitoring"  # CloudWatch: served outside the world's lock, never faulted

_worlds = {}  # (account id, region) -> AwsWorld whose EC2 behaviour is modelled
_registry_lock = threading.Lock()
_patched = False


def world_of(backend):
    """The modelled world of a moto EC2 backend, or None (plain moto)."""
    if not _worlds or backend is None:
        return None
    return _worlds.get((getattr(backend, "account_id", None), getattr(backend, "region_name", None)))


def _ec2_error(code, message):
    from moto.ec2.exceptions import EC2ClientError

    return EC2ClientError(code, message)


@dataclass(order=True)
class _Due:
    at: float
    seq: int
    nat_gw_id: str = field(compare=False)
    state: str = field(compare=False)  # the state it goes to


class AwsWorld:
    """The modelled EC2 of one moto account and region (see the module docstring)."""

    def __init__(self, account_id, region, clock=None, durations=None):
        self.account_id = account_id
        self.region = region
        self.clock = clock or WorldClock()
        self.durations = durations if durations is not None else Durations.instant()
        self.chaos = None  # a Chaos while faults are injected
        self.monitor = None  # an EgressMonitor told about every change
        self.lock = threading.RLock()
        self._due = []  # heap of _Due
        self._seq = 0
        self._visible_at = {}  # NAT gateway id -> world time from which describes show it
        self._tokens = {}  # client token -> NAT gateway id
        self._failing = {}  # NAT gateway id -> failure message, applied when it leaves pending
        self._instant = 0  # depth of instant() blocks
        # World seconds between a NAT gateway's `deleted` and EC2 letting go of its Elastic IPs (0: at
        # once). Meanwhile the addresses stay associated with its interface and cannot be taken over.
        self.eip_release_lag = 0.0
        self._unreleased = set()  # deleted NAT gateways whose addresses are not let go of yet

    # ------------------------------------------------------------------------------ registration

    def register(self):
        install_patches()
        with _registry_lock:
            _worlds[(self.account_id, self.region)] = self
        return self

    def unregister(self):
        with _registry_lock:
            if _worlds.get((self.account_id, self.region)) is self:
                del _worlds[(self.account_id, self.region)]

    def forget(self):
        """moto was reset: nothing of the old world is left."""
        with self.lock:
            self._due.clear()
            self._visible_at.clear()
            self._tokens.clear()
            self._failing.clear()
            self._unreleased.clear()

    @contextlib.contextmanager
    def instant(self):
        """Changes made inside the block take no time and are visible at once (seeding)."""
        with self.lock:
            self._instant += 1
        try:
            yield
        finally:
            with self.lock:
                self._instant -= 1

    def backend(self):
        from moto.ec2.models import ec2_backends

        return ec2_backends[self.account_id][self.region]

    def _duration(self, name):
        return 0.0 if self._instant else float(getattr(self.durations, name))

    def _lag(self):
        if self._instant:
            return 0.0
        lag = self.durations.describe_lag
        if self.chaos is not None:
            lag = max(lag, self.chaos.describe_lag)
        return lag

    # ---------------------------------------------------------------------------------- the clock

    def _schedule(self, nat_gw_id, state, after):
        self._seq += 1
        heapq.heappush(self._due, _Due(self.clock.now() + after, self._seq, nat_gw_id, state))

    def advance(self):
        """Apply every transition that is due, in order, each at its own world time."""
        with self.lock:
            now = self.clock.now()
            while self._due and self._due[0].at <= now:
                due = heapq.heappop(self._due)
                nat = self.backend().nat_gateways.get(due.nat_gw_id)
                if nat is None:
                    continue
                if due.state == "available" and nat.state == "pending":
                    self._leave_pending(nat)
                elif due.state == "deleted" and nat.state == "deleting":
                    self._finish_deletion(nat)
                elif due.state == "released" and nat.id in self._unreleased:
                    self._unreleased.discard(nat.id)
                    self._release_interface(nat)
                else:
                    continue
                self.changed(due.at)

    def changed(self, at=None):
        """Something that may decide egress changed (at world time `at`, default now)."""
        if self.monitor is not None:
            with self.lock:
                self.monitor.evaluate(self.clock.now() if at is None else at)

    # ----------------------------------------------------------------------------- NAT gateways

    def create_nat_gateway(self, response):
        from moto.core.responses import ActionResult
        from moto.ec2.utils import add_tag_specification

        with self.lock:
            backend = response.ec2_backend
            token = response._get_param("ClientToken")
            if token and token in self._tokens and self._tokens[token] in backend.nat_gateways:
                return ActionResult({"NatGateway": backend.nat_gateways[self._tokens[token]]})
            subnet_id = response._get_param("SubnetId")
            allocation_id = response._get_param("AllocationId")
            connectivity = response._get_param("ConnectivityType") or "public"
            secondary = _listed(response, "SecondaryAllocationIds", "SecondaryAllocationId")
            private_ip = response._get_param("PrivateIpAddress")
            tags = add_tag_specification(response._get_param("TagSpecifications", []))
            subnet = backend.get_subnet(subnet_id)
            if connectivity == "public" and not allocation_id:
                raise _ec2_error("MissingParameter", "A public NAT gateway needs an AllocationId.")
            if connectivity == "private" and (allocation_id or secondary):
                raise _ec2_error("InvalidParameterCombination", "A private NAT gateway takes no Elastic IP.")
            wanted = [a for a in [allocation_id, *secondary] if a]
            addresses = backend.address_by_allocation(wanted) if wanted else []
            if private_ip is not None:
                self._check_private_ip(backend, subnet, private_ip)
            held = [a for a in addresses if a.association_id]
            nat = backend.create_nat_gateway(
                subnet_id=subnet_id,
                allocation_id=None if held or not allocation_id else allocation_id,
                tags=tags,
                connectivity_type=connectivity,
            )
            nat.connectivity_type = connectivity
            self._settle_addresses(backend, nat, subnet, addresses, held, private_ip)
            if token:
                self._tokens[token] = nat.id
            self._visible_at[nat.id] = self.clock.now() + self._lag()
            if held:
                self._failing[nat.id] = f"Elastic IP address [{held[0].allocation_id}] is already associated"
            pending = self._duration("natgw_pending")
            if pending > 0:
                nat.state = "pending"
                self._schedule(nat.id, "available", pending)
            else:
                self._leave_pending(nat)
            self.changed()
            return ActionResult({"NatGateway": nat})

    @staticmethod
    def _check_private_ip(backend, subnet, private_ip):
        try:
            inside = ipaddress.ip_address(private_ip) in ipaddress.ip_network(subnet.cidr_block)
        except ValueError:
            inside = False
        if not inside:
            raise _ec2_error("InvalidParameterValue", f"Address {private_ip} is not in subnet {subnet.id}.")
        if private_ip in _used_ips(backend, subnet.id):
            raise _ec2_error("InvalidParameterValue", f"Address {private_ip} is in use.")

    def _settle_addresses(self, backend, nat, subnet, addresses, held, private_ip):
        """The primary address first (IsPrimary), then the secondary ones; a private IP in the subnet."""
        eni = nat._eni
        ip = private_ip or _free_ip(backend, subnet, skip=eni.id)
        eni.private_ip_address = ip
        nat.private_ip = ip
        entries = []
        for i, address in enumerate(addresses):
            if address in held:
                entry = {"allocationId": address.allocation_id, "publicIp": address.public_ip}
            else:
                if i > 0:
                    backend.associate_address(eni=eni, allocation_id=address.allocation_id)
                entry = {
                    "allocationId": address.allocation_id,
                    "publicIp": address.public_ip,
                    "associationId": address.association_id,
                }
            entry.update(
                networkInterfaceId=eni.id,
                privateIp=ip if i == 0 else _free_ip(backend, subnet, skip=eni.id, also=[ip]),
                isPrimary=i == 0,
                status="succeeded",
            )
            entries.append(entry)
        if not entries:
            entries.append(
                {"networkInterfaceId": eni.id, "privateIp": ip, "isPrimary": True, "status": "succeeded"}
            )
        if addresses:
            eni.public_ip = addresses[0].public_ip if addresses[0] not in held else None
        nat.address_set[:] = entries

    def _leave_pending(self, nat):
        failure = self._failing.pop(nat.id, None)
        if failure is None:
            nat.state = "available"
            return
        nat.state = "failed"
        nat.failure_code = "Resource.AlreadyAssociated"
        nat.failure_message = failure
        self._release_interface(nat)

    def delete_nat_gateway(self, response):
        from moto.core.responses import ActionResult

        with self.lock:
            backend = response.ec2_backend
            nat_gw_id = response._get_param("NatGatewayId")
            nat = backend.nat_gateways.get(nat_gw_id)
            if nat is None or not self._visible(nat_gw_id):
                raise _ec2_error("NatGatewayNotFound", f"The NAT gateway {nat_gw_id} was not found")
            if nat.state in ("deleting", "deleted"):
                return ActionResult({"NatGatewayId": nat.id})
            if nat.state == "failed":
                self._finish_deletion(nat)
                return ActionResult({"NatGatewayId": nat.id})
            self._failing.pop(nat.id, None)
            nat.state = "deleting"
            deleting = self._duration("natgw_deleting")
            if deleting > 0:
                self._schedule(nat.id, "deleted", deleting)
            else:
                self._finish_deletion(nat)
            self.changed()
            return ActionResult({"NatGatewayId": nat.id})

    def _finish_deletion(self, nat):
        """`deleted`: the addresses stay allocated but are set free; the interface goes away."""
        import datetime

        nat.state = "deleted"
        nat.delete_time = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.000Z")
        if self.eip_release_lag > 0 and not self._instant:
            self._unreleased.add(nat.id)
            self._schedule(nat.id, "released", self.eip_release_lag)
            return
        self._release_interface(nat)

    def _release_interface(self, nat):
        backend = nat.ec2_backend
        eni = nat._eni
        for address in list(backend.addresses):
            if address.eni is not None and address.eni.id == eni.id:
                backend.disassociate_address(association_id=address.association_id)
        for entry in nat.address_set:
            entry.pop("associationId", None)
        with contextlib.suppress(Exception):
            backend.delete_network_interface(eni.id)

    def _visible(self, nat_gw_id):
        return self.clock.now() >= self._visible_at.get(nat_gw_id, float("-inf"))

    def describe_nat_gateways(self, response):
        from moto.core.responses import ActionResult

        with self.lock:
            backend = response.ec2_backend
            ids = _listed(response, "NatGatewayIds", "NatGatewayId")
            for nat_gw_id in ids:
                if nat_gw_id not in backend.nat_gateways or not self._visible(nat_gw_id):
                    raise _ec2_error("NatGatewayNotFound", f"NAT gateway {nat_gw_id} was not found")
            found = backend.describe_nat_gateways(response._filters_from_querystring(), ids)
            return ActionResult({"NatGateways": [n for n in found if self._visible(n.id)]})

    def natgw_holding(self, backend, eni_id):
        """The NAT gateway (pending, available or deleting, or deleted with its addresses not let go of
        yet) whose interface is `eni_id`, or None."""
        for nat in backend.nat_gateways.values():
            if nat._eni.id == eni_id and (nat.state in HOLDING_STATES or nat.id in self._unreleased):
                return nat
        return None


def add_secondary_address(account_id, region, nat_gw_id, allocation_id, first=False):
    """Give a NAT gateway a secondary Elastic IP (moto's CreateNatGateway knows none); with `first` it is
    listed before the primary one."""
    from moto.ec2.models import ec2_backends

    backend = ec2_backends[account_id][region]
    nat = backend.nat_gateways[nat_gw_id]
    eni = nat._eni
    primary_ip = eni.public_ip
    address = backend.associate_address(eni=eni, allocation_id=allocation_id)
    eni.public_ip = primary_ip
    for entry in nat.address_set:
        entry.setdefault("isPrimary", True)
        entry.setdefault("status", "succeeded")
    subnet = backend.get_subnet(nat.subnet_id)
    entry = {
        "allocationId": address.allocation_id,
        "publicIp": address.public_ip,
        "associationId": address.association_id,
        "networkInterfaceId": eni.id,
        "privateIp": _free_ip(backend, subnet, also=[nat.private_ip]),
        "isPrimary": False,
        "status": "succeeded",
    }
    if first:
        nat.address_set.insert(0, entry)
    else:
        nat.address_set.append(entry)
    return entry


def _listed(response, plural, singular):
    """A list parameter, however moto's parameter parsing presents it."""
    value = response._get_param(plural)
    if value is None:
        value = response._get_param(singular)
    if value is None:
        try:
            value = response._get_multi_param(singular)
        except Exception:
            value = None
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    return [v for v in value if v]


def _used_ips(backend, subnet_id):
    used = set()
    for eni in backend.enis.values():
        if getattr(eni.subnet, "id", None) == subnet_id and eni.private_ip_address:
            used.add(eni.private_ip_address)
    return used


def _free_ip(backend, subnet, skip=None, also=()):
    """An unused address of the subnet, past the ones AWS reserves."""
    used = {ip for ip in _used_ips(backend, subnet.id)}
    if skip is not None and skip in backend.enis:
        used.discard(backend.enis[skip].private_ip_address)
    used.update(also)
    network = ipaddress.ip_network(subnet.cidr_block)
    for offset in range(10, network.num_addresses - 1):
        candidate = str(network.network_address + offset)
        if candidate not in used:
            return candidate
    raise _ec2_error("InsufficientFreeAddressesInSubnet", f"Subnet {subnet.id} has no free address.")


# ==================================================================================== moto patches


def install_patches():
    """Route moto's NAT gateway actions, route states and EIP associations through the modelled worlds.

    Class-level and installed once; every patched function behaves exactly as moto's own unless the
    backend's account and region belong to a registered world."""
    global _patched
    if _patched:
        return
    from moto.ec2.models.elastic_ip_addresses import ElasticAddressBackend
    from moto.ec2.models.route_tables import Route
    from moto.ec2.responses.nat_gateways import NatGateways

    originals = {
        "create": NatGateways.create_nat_gateway,
        "delete": NatGateways.delete_nat_gateway,
        "describe": NatGateways.describe_nat_gateways,
        "state": Route.state,
        "associate": ElasticAddressBackend.associate_address,
    }

    def create_nat_gateway(self):
        world = world_of(self.ec2_backend)
        return world.create_nat_gateway(self) if world else originals["create"](self)

    def delete_nat_gateway(self):
        world = world_of(self.ec2_backend)
        return world.delete_nat_gateway(self) if world else originals["delete"](self)

    def describe_nat_gateways(self):
        world = world_of(self.ec2_backend)
        return world.describe_nat_gateways(self) if world else originals["describe"](self)

    def state(self):
        if world_of(getattr(self.route_table, "ec2_backend", None)) is not None:
            if self.nat_gateway is not None and self.nat_gateway.state in BLACKHOLE_NATGW_STATES:
                return "blackhole"
            if self.instance is not None and self.instance.state in BLACKHOLE_INSTANCE_STATES:
                return "blackhole"
        return originals["state"].fget(self)

    def associate_address(self, instance=None, eni=None, address=None, allocation_id=None, reassociate=False):
        world = world_of(self)
        if world is not None:
            eips = self.address_by_ip([address]) if address else self.address_by_allocation([allocation_id])
            held = eips[0].eni
            nat = world.natgw_holding(self, held.id) if held is not None else None
            if nat is not None and (eni is None or eni.id != held.id):
                raise _ec2_error(
                    "Resource.AlreadyAssociated",
                    f"Elastic IP address {eips[0].public_ip} is in use by NAT gateway {nat.id}",
                )
        return originals["associate"](self, instance, eni, address, allocation_id, reassociate)

    NatGateways.create_nat_gateway = create_nat_gateway
    NatGateways.delete_nat_gateway = delete_nat_gateway
    NatGateways.describe_nat_gateways = describe_nat_gateways
    Route.state = property(state)
    ElasticAddressBackend.associate_address = associate_address
    _patched = True


# =============================================================================== the server's front


_CREDENTIAL = re.compile(r"Credential=[^/,\s]+/\d{8}/([^/,\s]+)/([^/,\s]+)/aws4_request")


@dataclass
class _Request:
    service: str | None
    region: str | None
    action: str
    internal: bool
    invocation: str | None

    @property
    def changes_ec2(self):
        return self.service == "ec2" and not self.action.startswith(READ_PREFIXES)


def _read_request(environ):
    """(what the request is, its body); the body is put back for moto to read."""
    import io

    match = _CREDENTIAL.search(environ.get("HTTP_AUTHORIZATION", ""))
    region, service = match.groups() if match else (None, None)
    agent = environ.get("HTTP_USER_AGENT", "")
    action = f"{environ.get('REQUEST_METHOD', '')} {environ.get('PATH_INFO', '')}"
    # Read here, before the world's lock is taken: a client that stalls mid-body (a stopped or slow process)
    # then holds up only its own request, never the whole world.
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError:
        length = 0
    if length > 0:
        body = environ["wsgi.input"].read(length)
        environ["wsgi.input"] = io.BytesIO(body)
        environ["CONTENT_LENGTH"] = str(len(body))
        if service == "ec2":
            form = parse_qs(body.decode("utf-8", "replace"))
            action = (form.get("Action") or [""])[0]
    return _Request(
        service, region, action, INTERNAL_USER_AGENT in agent, environ.get("HTTP_AMZ_SDK_INVOCATION_ID")
    )


def _fault_response(service, fault):
    request_id = str(uuid.uuid4())
    if service == "s3":
        body = (
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            f"<Error><Code>{fault.code}</Code><Message>{fault.message}</Message>"
            f"<RequestId>{request_id}</RequestId></Error>"
        )
    else:
        body = (
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            f"<Response><Errors><Error><Code>{fault.code}</Code><Message>{fault.message}</Message></Error>"
            f"</Errors><RequestID>{request_id}</RequestID></Response>"
        )
    reason = {500: "Internal Server Error", 503: "Service Unavailable"}.get(fault.status, "Error")
    headers = [("Content-Type", "text/xml"), ("Content-Length", str(len(body.encode())))]
    return f"{fault.status} {reason}", headers, [body.encode()]


class WorldMiddleware:
    """WSGI front of moto's server for one AwsWorld, or one per region (`worlds`: region -> AwsWorld; a
    request goes to its region's world, else to `world`); see the module docstring."""

    def __init__(self, app, world, worlds=None):
        self.app = app
        self.world = world
        self.worlds = dict(worlds or {})

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO", "").startswith("/moto-api/reset"):
            with self.world.lock:
                for other in self.worlds.values():
                    other.forget()
                self.world.forget()
                return self.app(environ, start_response)
        request = _read_request(environ)
        if request.service == UNMODELLED_SERVICE:
            # CloudWatch is no part of the model, and moto answers a metric query in time that grows with
            # every datapoint of the region: it must not hold up the world (a fleet's VPCs query at once).
            return self.app(environ, start_response)
        world = self.worlds.get(request.region, self.world)
        with world.lock:
            world.advance()
            chaos = world.chaos
            fault = None
            if chaos is not None and not request.internal and request.service in ("ec2", "s3"):
                fault = chaos.aws_fault(request.service, request.action)
            if fault is not None and not fault.after_change:
                status, headers, body = _fault_response(request.service, fault)
                start_response(status, headers)
                return body
            captured = {}

            def capture(status, headers, exc_info=None):
                captured["status"], captured["headers"] = status, headers
                return lambda data: captured.setdefault("written", []).append(data)

            result = self.app(environ, capture)
            try:
                body = captured.pop("written", []) + list(result)
            finally:
                if hasattr(result, "close"):
                    result.close()
            ok = int(captured["status"].split()[0]) < 400
            if ok and request.changes_ec2:
                world.changed()
            if fault is not None and ok:
                status, headers, body = _fault_response(request.service, fault)
                start_response(status, headers)
                return body
        start_response(captured["status"], captured["headers"])
        return body
