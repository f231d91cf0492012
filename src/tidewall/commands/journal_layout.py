"""Which memento sits in which slot of a VPC's memento journal.

The migration appends one memento per step, in a fixed order, and a resumed run skips a step when the
journal already holds a memento in that step's slot. That order is declared here once; the status report,
the history's list of classes it may rebuild, the rollback record and the tests all take it from here.

    T        baseline acceptance test (only with enable_test)
    A1..A6   NAT gateway 0: s1 snapshot (opens its group), traffic move to NAT gateway 1, deletion,
             primary spoke with the EIP, s2 snapshot, single-IP SNAT
    B1, B2   every further NAT gateway: deletion (opens its group), HA spoke with the EIP; with hs_mode 1
             only NAT gateway 1 is replaced
    R        resize of the primary spoke from its initial to its target size, when no size is forced, the
             two sizes differ and the run was not stopped before a NAT gateway

The migration module keeps this order itself; a contract test runs it against recording fakes and checks
that what it appends is what `layout` declares.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Step:
    """One kind of step: the command that makes it and the memento that undoes it."""

    code: str
    memento_class: str  # dotted name of the memento class that records (and undoes) the step
    command: str  # dotted name of the command class
    method: str  # its method that makes the change and returns the memento
    label: str  # plain words, for people
    opens_group: bool = False  # appended with MarkBegin: the first memento of a rollback group
    makes_spoke: bool = False  # creates a spoke gateway (the acceptance test of that spoke follows)
    # What the egress keeper does with the step's routes: "park" (onto a live spoke before the NAT gateway
    # goes), "settle" (onto the new spoke once it serves), "guard" (off the primary while it is resized).
    egress: str = ""

    @property
    def memento_name(self):
        return self.memento_class.rsplit(".", 1)[1]


_SPOKE = "tidewall.lib.spoke"
_ROUTES = "tidewall.lib.route_table"
_NATGW = "tidewall.lib.natgw"

STEPS = {
    s.code: s
    for s in (
        Step("T", "tidewall.lib.test.TestMemento", "tidewall.lib.test.TestCmd", "execute",
             "baseline acceptance test"),
        Step("A1", f"{_ROUTES}.SnapshotRTMemento", f"{_ROUTES}.SnapshotRTCmd", "execute",
             "route-table snapshot s1", opens_group=True),
        Step("A2", f"{_ROUTES}.NatGwTrafficMemento", f"{_ROUTES}.NatGwTrafficCmd", "moveTraffic",
             "move its traffic to NAT gateway 1"),
        Step("A3", f"{_NATGW}.NatGwDeleteMemento", f"{_NATGW}.NatGwCmd", "delete",
             "delete the NAT gateway", egress="park"),
        Step("A4", f"{_SPOKE}.HsSpokeCreateMemento", f"{_SPOKE}.HsSpokeCmd", "create",
             "create the primary spoke with its EIP", makes_spoke=True),
        Step("A5", f"{_ROUTES}.SnapshotRTMemento", f"{_ROUTES}.SnapshotRTCmd", "execute",
             "route-table snapshot s2"),
        Step("A6", f"{_SPOKE}.SnatEnableMemento", f"{_SPOKE}.SnatCmd", "enable",
             "enable single-IP SNAT on the spoke"),
        Step("B1", f"{_NATGW}.NatGwDeleteMemento", f"{_NATGW}.NatGwCmd", "delete",
             "delete the NAT gateway", opens_group=True, egress="park"),
        Step("B2", f"{_SPOKE}.HsSpokeCreateMemento", f"{_SPOKE}.HsSpokeCmd", "create",
             "create an HA spoke with its EIP", makes_spoke=True, egress="settle"),
        Step("R", f"{_SPOKE}.ResizeSpokeGatewayMemento", f"{_SPOKE}.ResizeSpokeGatewayCmd", "execute",
             "resize the primary spoke", egress="guard"),
    )
}  # fmt: skip

FIRST_NATGW = ("A1", "A2", "A3", "A4", "A5", "A6")
NEXT_NATGW = ("B1", "B2")

# Every memento class the journal may hold (and the history may rebuild from its stored state).
MEMENTO_CLASSES = frozenset(s.memento_class for s in STEPS.values())


@dataclass(frozen=True)
class Slot:
    """One slot of the journal: which step of which NAT gateway fills it."""

    index: int
    code: str
    natgw: int | None  # the NAT gateway the step belongs to; None for the baseline test T
    detail: str = ""

    @property
    def step(self):
        return STEPS[self.code]

    @property
    def memento_class(self):
        return self.step.memento_class

    @property
    def opens_group(self):
        return self.step.opens_group

    @property
    def label(self):
        return self.step.label + (f" ({self.detail})" if self.detail else "")

    @property
    def where(self):
        return "the run" if self.natgw is None else f"NAT gateway {self.natgw}"


def acceptance_tests_on(enable_test):
    """Whether the run takes the baseline and per-spoke acceptance tests (compared with true, as the run does)."""
    return enable_test == True  # noqa: E712 - the run asks `== True`, so 1 counts and "yes" does not


def replaced(index, hs_mode):
    """Whether NAT gateway `index` is replaced at all: hs_mode 1 replaces NAT gateways 0 and 1 only."""
    return not (hs_mode == 1 and index > 1)


def resize_due(nat_gateways, spoke_gw_size):
    """Whether the primary spoke is resized at the end: no size forced and its two sizes differ."""
    if spoke_gw_size is not None or not nat_gateways:
        return False
    first = nat_gateways[0]
    return first.get("size") != first.get("initial_size")


def layout(nat_gateways, enable_test, hs_mode, spoke_gw_size, stop_before=None):
    """The slots a run fills, in order, for these NAT-gateway info records and settings.

    `stop_before` (the --stop-before value; None or negative for none) ends the replacement before the
    NAT gateway of that index; a run that stopped there takes no resize, so the next run's slots line up.
    """
    slots = []

    def add(code, natgw, detail=""):
        slots.append(Slot(len(slots), code, natgw, detail))

    if acceptance_tests_on(enable_test):
        add("T", None)
    stopped = False
    for i, _record in enumerate(nat_gateways):
        if not replaced(i, hs_mode):
            continue
        if stop_before is not None and stop_before >= 0 and i >= stop_before:
            stopped = True
            break
        for code in FIRST_NATGW if i == 0 else NEXT_NATGW:
            add(code, i)
    if not stopped and resize_due(nat_gateways, spoke_gw_size):
        first = nat_gateways[0]
        add("R", 0, f"{first.get('initial_size')} -> {first.get('size')}")
    return slots


def groups(slots):
    """[(first slot, last slot)] of each rollback group: from a group-opening slot to the next one.

    Slots before the first opener (the baseline test) belong to no group of their own: a rollback
    that finds no begin mark undoes them as well.
    """
    starts = [s.index for s in slots if s.opens_group]
    return [(a, (starts[n + 1] - 1) if n + 1 < len(starts) else len(slots) - 1) for n, a in enumerate(starts)]


def group_of(slots, index):
    """(first slot, last slot) of the group slot `index` belongs to, or None before the first group."""
    for first, last in groups(slots):
        if first <= index <= last:
            return first, last
    return None


def mismatches(slots, entries):
    """Texts naming each journal entry that does not fit its slot.

    `entries` are (memento class name, begin mark) pairs (extra items are ignored), oldest first.
    """
    problems = []
    for index, entry in enumerate(entries):
        name, begin = entry[0], entry[1]
        if index >= len(slots):
            problems.append(
                f"journal slot {index} holds {_short(name)} but the migration has only {len(slots)} steps"
            )
            continue
        slot = slots[index]
        if name != slot.memento_class:
            problems.append(
                f"journal slot {index} holds {_short(name)} where step {slot.code} of {slot.where} "
                f"({slot.step.label}) expects {slot.step.memento_name}"
            )
        elif bool(begin) != slot.opens_group:
            problems.append(f"journal slot {index} ({slot.code} of {slot.where}) has a wrong group mark")
    return problems


def _short(class_name):
    return class_name.rsplit(".", 1)[-1]
