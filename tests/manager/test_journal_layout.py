"""The declared journal layout is what Manager.execute appends: over a grid of settings, a first run,
a run stopped before a NAT gateway and a resumed run from every prefix fill exactly the declared slots,
each made by the declared command, with the declared group marks."""

import importlib
import itertools
import re

import pytest

from tidewall.commands import journal_layout
from tidewall.core.Globals import Globals

from .conftest import info_record, slot_label

# A command call the fakes note, then the memento it produced.
COMMAND_CALL = re.compile(r"^(TestCmd|SnapshotRTCmd|NatGwTrafficCmd|NatGwCmd|HsSpokeCmd|SnatCmd|"
                          r"ResizeSpokeGatewayCmd)\.(\w+)\(")  # fmt: skip


def made(world):
    """(label, MarkBegin, command class, method) of each memento appended in this call, in order."""
    out, last_call = [], None
    for line in world.log:
        call = COMMAND_CALL.match(line)
        if call:
            last_call = call.groups()
        elif line.startswith("MementoHistory.append("):
            label = line[len("MementoHistory.append(") :].split(",")[0].rstrip(")")
            out.append((label, "MarkBegin=True" in line, *last_call))
            last_call = None
    return out


def declared(slots):
    return [(slot_label(s), s.opens_group, s.step.command.rsplit(".", 1)[1], s.step.method) for s in slots]


def set_up(world, count, enable_test, hs_mode, spoke_gw_size, same_sizes):
    world.fields.update(enable_test=enable_test, hs_mode=hs_mode, spoke_gw_size=spoke_gw_size)
    world.nat_gws = [{"NatGatewayId": f"nat-{i}"} for i in range(count)]
    world.discovered = [info_record(i) for i in range(count)]
    if same_sizes:
        world.discovered[0]["size"] = world.discovered[0]["initial_size"]
    return journal_layout.layout(world.discovered, enable_test, hs_mode, spoke_gw_size)


GRID = list(
    itertools.product(
        (2, 3, 4),  # NAT gateways
        (False, True),  # enable_test
        (1, 2),  # hs_mode
        (None, "c5.large"),  # spoke_gw_size
        (False, True),  # primary's initial and target size the same
    )
)


def grid_id(p):
    count, test, hs_mode, size, same = p
    return f"{count}natgw-test{int(test)}-hs{hs_mode}-size{size or 'auto'}-{'same' if same else 'diff'}"


@pytest.mark.parametrize("params", GRID, ids=[grid_id(p) for p in GRID])
def test_a_first_run_fills_the_declared_slots(Manager, world, params):
    slots = set_up(world, *params)
    Manager.execute(world.config)
    assert made(world) == declared(slots)
    assert [(m.label, begin) for m, begin in world.history] == [(slot_label(s), s.opens_group) for s in slots]


@pytest.mark.parametrize("params", GRID[::3], ids=[grid_id(p) for p in GRID[::3]])
def test_a_stopped_run_then_its_resumption_fill_the_declared_slots(Manager, world, params):
    full = set_up(world, *params)
    for stop in range(params[0] + 1):
        world.log.clear()
        world.history.clear()
        world.command_done, world.recorded = False, None
        Globals.cmdcnt = stop
        Manager.execute(world.config)
        partial = journal_layout.layout(world.discovered, params[1], params[2], params[3], stop_before=stop)
        assert made(world) == declared(partial), f"stopped before {stop}"
        # The next run (no stop) picks up at the next slot and ends on the full layout.
        world.log.clear()
        Globals.cmdcnt = -1
        Manager.execute(world.config)
        assert made(world) == declared(full[len(partial) :]), f"resumed after a stop before {stop}"
        assert [m.label for m, _ in world.history] == [slot_label(s) for s in full]


@pytest.mark.parametrize("params", GRID[1::4], ids=[grid_id(p) for p in GRID[1::4]])
def test_a_resumed_run_skips_exactly_the_journalled_slots(Manager, world, params):
    full = set_up(world, *params)
    world.resumed(world.discovered)
    for k in range(len(full) + 1):
        world.log.clear()
        world.preload([slot_label(s) for s in full[:k]])
        Manager.execute(world.config)
        assert made(world) == declared(full[k:]), f"resumed with {k} slots journalled"


def test_every_declared_class_and_command_exists_and_is_a_memento():
    from tidewall.commands.memento import Memento

    for step in journal_layout.STEPS.values():
        module, _, name = step.memento_class.rpartition(".")
        assert issubclass(getattr(importlib.import_module(module), name), Memento), step.code
        module, _, name = step.command.rpartition(".")
        assert callable(getattr(getattr(importlib.import_module(module), name), step.method)), step.code


def test_groups_and_mismatches():
    records = [info_record(i) for i in range(3)]
    slots = journal_layout.layout(records, True, 2, None)
    assert [s.code for s in slots] == ["T", "A1", "A2", "A3", "A4", "A5", "A6", "B1", "B2", "B1", "B2", "R"]
    assert journal_layout.groups(slots) == [(1, 6), (7, 8), (9, 11)]
    assert journal_layout.group_of(slots, 0) is None and journal_layout.group_of(slots, 8) == (7, 8)
    entries = [(s.memento_class, s.opens_group) for s in slots]
    assert journal_layout.mismatches(slots, entries) == []
    entries[3] = (slots[3].memento_class, True)
    entries[4] = (slots[1].memento_class, False)
    entries.append(entries[-1])
    assert journal_layout.mismatches(slots, entries) == [
        "journal slot 3 (A3 of NAT gateway 0) has a wrong group mark",
        "journal slot 4 holds SnapshotRTMemento where step A4 of NAT gateway 0 (create the primary spoke "
        "with its EIP) expects HsSpokeCreateMemento",
        "journal slot 12 holds ResizeSpokeGatewayMemento but the migration has only 12 steps",
    ]
