"""The simulated controller's state and rules: users and sessions, access accounts, gateways.

Gateways are either classic spokes (HA added to the gateway with `enable_spoke_ha`) or HS spokes (one
primary plus separately created HA gateways). An optional cloud hook backs the gateways with real (or
moto) instances; without one, the controller invents instance ids, subnet ids and addresses itself.

Changes take the time a real controller takes (`Durations`, on the world clock): a gateway's creation,
deletion and resize, a SNAT switch. The request that asked for one is answered when it is done, as the
real API does; meanwhile the gateway is busy and other changes to it are refused, while reads go on.
"""

from __future__ import annotations

import hashlib
import ipaddress
import re
import secrets
import threading
import time
from dataclasses import dataclass, field

from tidewall.sandbox.clock import Durations, WorldClock

NAME_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_-]{0,49}$")
SIZE_RE = re.compile(r"^[a-z][a-z0-9-]*\.[a-z0-9]+$")
ACCOUNT_NUMBER_RE = re.compile(r"^[0-9]{12}$")
SESSION_EXPIRED = "CID is invalid or expired."


class CloudError(Exception):
    """Raised by a cloud hook when the cloud refuses an operation; the request then fails unchanged."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = str(reason)


class Refused(Exception):
    """A request the controller turns down (answered with return false)."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = str(reason)


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


def checked_subnet(cidr):
    try:
        return ipaddress.IPv4Network(cidr, strict=True)
    except (ValueError, TypeError):
        raise Refused(f"Invalid subnet CIDR '{cidr}'") from None


class ControllerBackend:
    def __init__(self, users=None, cloud=None, clock=None, durations=None):
        self.users = dict(users or {})
        self.cloud = cloud
        self.clock = clock or WorldClock(1.0)
        self.durations = durations if durations is not None else Durations.instant()
        self.on_change = None  # called (no arguments) after every change that may decide egress
        self._lock = threading.RLock()
        self._serving = {}  # instance id -> whether egress is forwarded through it (published copy)
        self.clear()

    def clear(self):
        """Forget sessions, accounts and gateways; users stay."""
        with self._lock:
            self._cids = {}  # CID -> username
            self._accounts = {}  # name -> Account
            self._gateways = {}  # name -> Gateway, creation order
            self._creating = {}  # name -> Gateway being created
            self._busy = {}  # name -> what is being done to it
            self._instance_counter = 0
            self._publish()

    # ------------------------------------------------------------------------------ time and news

    def _pause(self, seconds):
        self.clock.sleep(seconds)

    def _publish(self):
        """Publish which instances forward egress (read without the lock by the egress monitor)."""
        by_name = {g.name: g for g in self._gateways.values()}
        by_name.update(self._creating)
        serving = {}
        for gw in by_name.values():
            if gw.instance_id:
                primary = by_name.get(gw.primary) if gw.primary else gw
                serving[gw.instance_id] = primary is not None and bool(primary.snat)
        self._serving = serving

    def serves(self, instance_id):
        """True/False for an instance of one of the gateways, None for any other instance."""
        return self._serving.get(instance_id)

    def _changed(self):
        callback = self.on_change
        if callback is not None:
            callback()

    # ---------------------------------------------------------------------------- users, sessions

    # Bad logins of one user name in a row that are answered at once; each one after waits a little longer.
    FREE_BAD_LOGINS = 5
    BAD_LOGIN_PAUSE = 0.2  # seconds, doubled with each further bad login, at most MAX_BAD_LOGIN_PAUSE
    MAX_BAD_LOGIN_PAUSE = 3.0

    def login(self, username, password):
        """A new CID, or None when the user or password is wrong (after a pause once a name has failed
        FREE_BAD_LOGINS times in a row: a password is not guessed at full speed)."""
        with self._lock:
            failures = getattr(self, "_bad_logins", None)
            if failures is None:
                failures = self._bad_logins = {}
            if username not in self.users or password is None or password != self.users[username]:
                failures[username] = failures.get(username, 0) + 1
                over = failures[username] - self.FREE_BAD_LOGINS
                if len(failures) > 10_000:  # never a table that grows without end
                    failures.clear()
            else:
                failures.pop(username, None)
                cid = secrets.token_hex(12)
                self._cids[cid] = username
                return cid
        if over > 0:
            time.sleep(min(self.BAD_LOGIN_PAUSE * 2 ** (over - 1), self.MAX_BAD_LOGIN_PAUSE))
        return None

    def issue_cid(self, username):
        with self._lock:
            if username not in self.users:
                raise KeyError(f"unknown user {username}")
            cid = secrets.token_hex(12)
            self._cids[cid] = username
            return cid

    def logout(self, cid):
        """End the session `cid` (nothing when it is not one)."""
        with self._lock:
            self._cids.pop(cid, None)

    def cid_valid(self, cid):
        with self._lock:
            return cid in self._cids

    def expire_cids(self):
        """Every CID handed out so far stops being valid (a session time-out)."""
        with self._lock:
            self._cids.clear()

    # ----------------------------------------------------------------------------------- accounts

    @property
    def accounts(self):
        with self._lock:
            return dict(self._accounts)

    def add_account(self, name, number="123456789012", cloud_type=1):
        with self._lock:
            account = Account(name, number, cloud_type)
            self._accounts[name] = account
            return account

    def new_account(self, name, number):
        with self._lock:
            if not NAME_RE.match(name):
                raise Refused(f"Invalid account name '{name}'")
            if not ACCOUNT_NUMBER_RE.match(number):
                raise Refused(f"Invalid AWS account number '{number}': 12 digits expected")
            if name in self._accounts:
                raise Refused(f"Account {name} already exists")
            return self.add_account(name, number)

    # ----------------------------------------------------------------------------------- gateways

    @property
    def gateways(self):
        with self._lock:
            return dict(self._gateways)

    def gateway(self, name):
        with self._lock:
            gw = self._gateways.get(name)
            if gw is None:
                raise Refused(f"Gateway {name} does not exist")
            return gw

    def ha_of(self, name):
        with self._lock:
            return [gw for gw in self._gateways.values() if gw.primary == name]

    def free_ha_name(self, primary_name):
        with self._lock:
            name = f"{primary_name}-hagw"
            n = 2
            while name in self._gateways or name in self._creating:
                name = f"{primary_name}-hagw-{n}"
                n += 1
            return name

    def _live(self, vpc_id, without=None, extra=None):
        gws = [
            gw
            for gw in self._gateways.values()
            if gw.vpc_id == vpc_id and gw is not without and self._busy.get(gw.name) != "deleting"
        ]
        return gws + ([extra] if extra is not None else [])

    def _claim(self, gw, what):
        if gw.name in self._busy:
            raise Refused(f"Gateway {gw.name} is busy: {self._busy[gw.name]}")
        self._busy[gw.name] = what

    def _new_gateway(self, name, primary, vpc_id, account_name, region, subnet_cidr, size):
        """Validate a creation request and build the (not yet launched) gateway."""
        if not name or not NAME_RE.match(name):
            raise Refused(f"Invalid gateway name '{name}'")
        if name in self._gateways:
            raise Refused(f"Gateway {name} already exists")
        if name in self._creating:
            raise Refused(f"Gateway {name} is being created")
        if not vpc_id:
            raise Refused("vpc_id is required")
        if not size or not SIZE_RE.match(size):
            raise Refused(f"Invalid gateway size '{size}'")
        if account_name not in self._accounts:
            raise Refused(f"Account {account_name} does not exist")
        checked_subnet(subnet_cidr)
        for other in list(self._gateways.values()) + list(self._creating.values()):
            if other.vpc_id == vpc_id and other.subnet_cidr == subnet_cidr:
                raise Refused(f"Subnet {subnet_cidr} of {vpc_id} already has gateway {other.name}")
        return Gateway(name, primary, vpc_id, account_name, region, subnet_cidr, size=size)

    def create(
        self,
        name,
        *,
        primary=None,
        vpc_id=None,
        account_name=None,
        region=None,
        subnet_cidr,
        size,
        eip=None,
        tags=None,
        classic=False,
        snat=False,
        takes_time=True,
    ):
        """Create a gateway (a primary, or an HA gateway of `primary`, which lends it VPC, account and
        region); returns it once it is up. Raises Refused."""
        with self._lock:
            if primary is not None:
                owner = self.gateway(primary)
                vpc_id, account_name, region = owner.vpc_id, owner.account_name, owner.region
            gw = self._new_gateway(name, primary, vpc_id, account_name, region, subnet_cidr, size)
            gw.classic = classic
            gw.eip = eip or None
            gw.tags = dict(tags or {})
            self._check_eip(gw)
            self._creating[gw.name] = gw
        try:
            if takes_time:
                self._pause(self.durations.gateway_create)
            with self._lock:
                self._launch(gw)
                if snat:
                    self._switch_snat(gw, True)
        finally:
            with self._lock:
                self._creating.pop(gw.name, None)
                self._publish()
        self._changed()
        return gw

    def _check_eip(self, gw):
        if gw.eip is None:
            return
        try:
            ipaddress.IPv4Address(gw.eip)
        except ValueError:
            raise Refused(f"Invalid EIP '{gw.eip}'") from None
        for other in list(self._gateways.values()) + list(self._creating.values()):
            if gw.eip in (other.eip, other.public_ip):
                raise Refused(f"EIP {gw.eip} is already in use by gateway {other.name}")

    def _invented_private_ip(self, gw):
        net = checked_subnet(gw.subnet_cidr)
        used = {g.private_ip for g in self._gateways.values()}
        start = 10 if net.num_addresses > 16 else 4
        for offset in range(start, net.num_addresses - 1):
            candidate = str(net.network_address + offset)
            if candidate not in used:
                return candidate
        raise Refused(f"No free address in subnet {gw.subnet_cidr}")

    def _invented_public_ip(self):
        used = {g.public_ip for g in self._gateways.values()}
        for host in range(10, 255):
            candidate = f"198.51.100.{host}"
            if candidate not in used:
                return candidate
        raise Refused("No public address left")

    def _launch(self, gw):
        """Give the gateway its subnet and instance and store it; nothing is kept when a step fails."""
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
            raise Refused(exc.reason) from None
        gw.instance_id = launched["instance_id"]
        gw.private_ip = launched["private_ip"]
        gw.public_ip = launched.get("public_ip") or gw.eip
        self._publish()
        try:
            cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id, extra=gw))
        except CloudError as exc:
            try:
                cloud.terminate(gw)
            except CloudError:
                pass
            raise Refused(exc.reason) from None
        self._gateways[gw.name] = gw
        return gw

    def delete(self, gw):
        """Delete a gateway: the routes through it are moved first, then it goes away."""
        with self._lock:
            self._claim(gw, "deleting")
            try:
                if self.cloud is not None:
                    try:
                        self.cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id, without=gw))
                    except CloudError as exc:
                        raise Refused(exc.reason) from None
            except BaseException:
                del self._busy[gw.name]
                raise
        self._changed()
        try:
            self._pause(self.durations.gateway_delete)
            with self._lock:
                if self.cloud is not None:
                    try:
                        self.cloud.terminate(gw)
                    except CloudError as exc:
                        del self._busy[gw.name]
                        try:
                            self.cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id))
                        except CloudError:
                            pass
                        raise Refused(exc.reason) from None
                self._gateways.pop(gw.name, None)
        finally:
            with self._lock:
                self._busy.pop(gw.name, None)
                self._publish()
        self._changed()

    def resize(self, gw, size):
        """Change a gateway's size; its instance is stopped meanwhile (no traffic through it)."""
        with self._lock:
            self._claim(gw, "resizing")
        try:
            cloud = self.cloud
            if cloud is not None and hasattr(cloud, "stop") and hasattr(cloud, "start"):
                with self._lock:
                    self._cloud(cloud.stop, gw)
                self._changed()
                self._pause(self.durations.gateway_resize)
                with self._lock:
                    self._cloud(cloud.start, gw, size)
            else:
                self._pause(self.durations.gateway_resize)
                with self._lock:
                    if cloud is not None:
                        self._cloud(cloud.resize, gw, size)
            with self._lock:
                gw.size = size
        finally:
            with self._lock:
                self._busy.pop(gw.name, None)
        self._changed()

    @staticmethod
    def _cloud(operation, *args):
        try:
            return operation(*args)
        except CloudError as exc:
            raise Refused(exc.reason) from None

    def set_snat(self, gw, on):
        """Switch single-IP SNAT; returns whether anything changed."""
        with self._lock:
            if gw.snat == on:
                return False
            self._claim(gw, "switching SNAT")
        try:
            self._pause(self.durations.snat_switch)
            with self._lock:
                self._switch_snat(gw, on)
        finally:
            with self._lock:
                self._busy.pop(gw.name, None)
        self._changed()
        return True

    def _switch_snat(self, gw, on):
        gw.snat = on
        self._publish()
        if self.cloud is not None:
            try:
                self.cloud.routing_changed(gw.vpc_id, self._live(gw.vpc_id))
            except CloudError as exc:
                gw.snat = not on
                self._publish()
                raise Refused(exc.reason) from None
