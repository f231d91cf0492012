"""The stored state of every memento class the journal holds: its attribute names and their types.

A memento is rebuilt from the journal with exactly these attributes, so a state that names anything else
(a method such as `restore`, a field of another class) or gives a field a value of another type is
refused instead of rebuilt; a memento about to be journalled is held to the same declaration. Adding a
field to a memento class is one line in `MEMENTO_FIELDS`: `"name": KIND`, wrapped in `added()` when
journals written before the field existed must still load.

The restore checks look at every text value of a state for AWS resource ids (`rtb-...`, `subnet-...`,
`i-...`); text declared as `FREE` (tags, test reports) or as a controller gateway `NAME` is not searched.
"""

from __future__ import annotations

from dataclasses import dataclass, field


class Kind:
    """A type of stored value. `problems` yields a text per way `value` does not fit."""

    label = "value"
    scanned = True  # text in it is searched for AWS resource ids

    def problems(self, value, where):
        yield from ()

    def texts(self, value, where):
        """(where, text) of every text in `value` that the id scan looks at."""
        yield from ()


def _type_name(value):
    return "none" if value is None else type(value).__name__


@dataclass(frozen=True)
class Text(Kind):
    label: str = "text"
    scanned: bool = True

    def problems(self, value, where):
        if not isinstance(value, str):
            yield f"{where}: expected {self.label}, got {_type_name(value)}"

    def texts(self, value, where):
        if self.scanned and isinstance(value, str):
            yield where, value


@dataclass(frozen=True)
class Flag(Kind):
    label: str = "true or false"

    def problems(self, value, where):
        if not isinstance(value, bool):
            yield f"{where}: expected {self.label}, got {_type_name(value)}"


@dataclass(frozen=True)
class Maybe(Kind):
    """The kind, or none."""

    kind: Kind

    @property
    def label(self):
        return f"{self.kind.label} or none"

    def problems(self, value, where):
        if value is not None:
            yield from self.kind.problems(value, where)

    def texts(self, value, where):
        if value is not None:
            yield from self.kind.texts(value, where)


@dataclass(frozen=True)
class ListOf(Kind):
    item: Kind

    @property
    def label(self):
        return f"list of {self.item.label}"

    def problems(self, value, where):
        if not isinstance(value, list):
            yield f"{where}: expected a {self.label}, got {_type_name(value)}"
            return
        for i, item in enumerate(value):
            yield from self.item.problems(item, f"{where}[{i}]")

    def texts(self, value, where):
        for i, item in enumerate(value if isinstance(value, list) else ()):
            yield from self.item.texts(item, f"{where}[{i}]")


@dataclass(frozen=True)
class Added:
    """A field that journals written before it existed lack."""

    kind: Kind


def added(kind):
    return Added(kind)


def _split(fields):
    kinds, required = {}, set()
    for name, kind in fields.items():
        if isinstance(kind, Added):
            kinds[name] = kind.kind
        else:
            kinds[name] = kind
            required.add(name)
    return kinds, frozenset(required)


@dataclass(frozen=True)
class Record(Kind):
    """A mapping with these keys (each required unless wrapped in `added`); no other key."""

    fields: dict = field(default_factory=dict)
    label: str = "record"

    def problems(self, value, where):
        if not isinstance(value, dict):
            yield f"{where}: expected a {self.label}, got {_type_name(value)}"
            return
        yield from _record_problems(self.fields, value, where, "key")

    def texts(self, value, where):
        if isinstance(value, dict):
            kinds, _ = _split(self.fields)
            for name, item in value.items():
                if name in kinds:
                    yield from kinds[name].texts(item, f"{where}.{name}")


def _record_problems(fields, value, where, what):
    kinds, required = _split(fields)
    for name in value:
        if name not in kinds:
            yield f"{where}: {what} {name!r} is not one of {', '.join(sorted(kinds))}"
    for name in sorted(required - set(value)):
        yield f"{where}: {what} {name!r} is missing"
    for name, item in value.items():
        if name in kinds:
            yield from kinds[name].problems(item, f"{where}.{name}")


@dataclass(frozen=True)
class Plain(Kind):
    """Any JSON data (the journal checks that it is plain data)."""

    label: str = "data"
    scanned: bool = False


TEXT = Text()
MAYBE_TEXT = Maybe(TEXT)
BOOL = Flag()
# A controller gateway name: checked against the controller, not searched for AWS ids.
NAME = Text(label="gateway name", scanned=False)
# Free data that no restore acts on by id (tags, test reports).
FREE = Plain()

ROUTE = Record({"route_table_id": TEXT, "destination_key": TEXT, "destination": TEXT}, label="route record")
SNAPSHOT_ROUTE = Record(
    {
        "route_table_id": TEXT,
        "destination_key": TEXT,
        "destination": TEXT,
        "target_kind": TEXT,
        "target_id": TEXT,
        "nat_subnet_id": added(MAYBE_TEXT),  # only for routes to a NAT gateway
    },
    label="snapshot route record",
)
SPOKE_INFO = Record(
    {
        "gw_name": added(Maybe(NAME)),
        "gw_private_ip": added(MAYBE_TEXT),
        "gw_public_ip": added(MAYBE_TEXT),
        "gw_subnet_id": added(MAYBE_TEXT),
        "gw_subnet_cidr": added(MAYBE_TEXT),
    },
    label="spoke info record",
)

# Class (dotted name) -> {attribute: kind}. Every class the journal may hold is declared here.
MEMENTO_FIELDS = {
    "tidewall.lib.test.TestMemento": {
        "created_by": TEXT,
        "passed": BOOL,
        "checks": FREE,
        "output": FREE,
    },
    "tidewall.lib.route_table.SnapshotRTMemento": {
        "created_by": TEXT,
        "vpc_id": TEXT,
        "tag": TEXT,
        "version": TEXT,
        "file_name": TEXT,
        "routes": ListOf(SNAPSHOT_ROUTE),
    },
    "tidewall.lib.route_table.NatGwTrafficMemento": {
        "created_by": TEXT,
        "vpc_id": TEXT,
        "tag": TEXT,
        "source_subnet_id": TEXT,
        "source_nat_gw_id": MAYBE_TEXT,
        "target_subnet_id": TEXT,
        "target_nat_gw_id": MAYBE_TEXT,
        "routes": ListOf(ROUTE),
    },
    "tidewall.lib.natgw.NatGwDeleteMemento": {
        "created_by": TEXT,
        "vpc_id": TEXT,
        "subnet_id": TEXT,
        "subnet_cidr": MAYBE_TEXT,
        "nat_gw_id": MAYBE_TEXT,
        "private_ip": MAYBE_TEXT,
        "eip": MAYBE_TEXT,
        "allocation_id": MAYBE_TEXT,
        "network_interface_ids": ListOf(TEXT),
        "routes": ListOf(ROUTE),
        "tags": FREE,
        "secondary_eips": added(ListOf(TEXT)),
        "secondary_allocation_ids": added(ListOf(TEXT)),
        "secondary_private_ips": added(ListOf(TEXT)),
        # The network interface the routes were parked on before the deletion (only set when they were).
        "parked_on": added(TEXT),
    },
    "tidewall.lib.spoke.HsSpokeCreateMemento": {
        "spoke_info": Maybe(SPOKE_INFO),
    },
    "tidewall.lib.spoke.SnatEnableMemento": {
        "spoke_gw_name": NAME,
    },
    "tidewall.lib.spoke.ResizeSpokeGatewayMemento": {
        "spoke_gw_name": NAME,
        "from_gw_size": TEXT,
        "to_gw_size": TEXT,
    },
}


def declared(class_name):
    """The declared fields of a memento class, or None when it has no declaration."""
    return MEMENTO_FIELDS.get(class_name)


def state_problems(class_name, cls, state):
    """Texts naming every way `state` is not a state of `cls`.

    A declared class gets exactly its declared attributes with their types. A class without a declaration
    (a stand-in that a test allows) gets any attribute that does not hide one of its class's own (no
    state key may stand in for a method).
    """
    if not isinstance(state, dict):
        return [f"state of {_short(class_name)} is {_type_name(state)}, not a mapping"]
    fields = declared(class_name)
    if fields is not None:
        return list(_record_problems(fields, state, _short(class_name), "attribute"))
    problems = []
    for name in state:
        if not isinstance(name, str) or not name.isidentifier() or name.startswith("__"):
            problems.append(f"{_short(class_name)}: {name!r} is not an attribute name")
        elif hasattr(cls, name):
            problems.append(f"{_short(class_name)}: attribute {name!r} would hide the class's own {name!r}")
    return problems


def scanned_texts(class_name, state):
    """(where, text) of each text of a state that the id scan looks at (every text of an undeclared class)."""
    fields = declared(class_name)
    if fields is None:
        yield from _all_texts(state, _short(class_name))
        return
    kinds, _ = _split(fields)
    for name, value in state.items():
        if name in kinds:
            yield from kinds[name].texts(value, f"{name}")


def _all_texts(value, where):
    if isinstance(value, str):
        yield where, value
    elif isinstance(value, dict):
        for key, item in value.items():
            yield from _all_texts(item, f"{where}.{key}")
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from _all_texts(item, f"{where}[{i}]")


def gateway_names(class_name, state):
    """(where, name) of every controller gateway name in a state."""
    fields = declared(class_name) or {}
    kinds, _ = _split(fields)
    for name, value in state.items():
        kind = kinds.get(name)
        if kind is not None:
            yield from _names(kind, value, name)


def _names(kind, value, where):
    if value is None:
        return
    if isinstance(kind, Maybe):
        yield from _names(kind.kind, value, where)
    elif kind is NAME or (isinstance(kind, Text) and kind.label == NAME.label):
        if isinstance(value, str):
            yield where, value
    elif isinstance(kind, ListOf) and isinstance(value, list):
        for i, item in enumerate(value):
            yield from _names(kind.item, item, f"{where}[{i}]")
    elif isinstance(kind, Record) and isinstance(value, dict):
        sub, _ = _split(kind.fields)
        for key, item in value.items():
            if key in sub:
                yield from _names(sub[key], item, f"{where}.{key}")


def _short(class_name):
    return class_name.rsplit(".", 1)[-1]
