"""The memento history across a killed undo: the rollback and revert records, finishing a rollback, the
put-back rule, and the record of a change in progress (intent).

The cloud is modelled as the set of steps in effect (`WORLD`); a memento's restore takes its step out
(and may run twice). A kill is a BaseException raised before or after the n-th restore or journal write,
after which only the files count: the next "process" opens the history from them. The calls are the ones
the migration module makes (its rollback loop and its revert loop are replayed here call for call).
"""

import json
import logging
import os

import pytest

from tidewall.commands import history
from tidewall.commands.history import (
    CommandHistory,
    HistoryError,
    MementoHistory,
    RevertInProgressError,
    RollbackUnfinishedError,
)
from tidewall.commands.memento import Memento
from tidewall.core.Globals import Globals
from tidewall.lib import s3

VPC = "vpc-0123456789abcdef0"
WORLD = set()
KILL = {"at": None, "events": 0}  # at: ("before"|"after", n) over the numbered events below
FAIL_RESTORE = set()


class Killed(BaseException):
    """The process died here (nothing after this point runs)."""


def event():
    """One outside event (a restore or a journal write); the armed kill fires around the n-th."""
    KILL["events"] += 1
    if KILL["at"] == ("before", KILL["events"]):
        raise Killed
    return KILL["events"]


def after(n):
    if KILL["at"] == ("after", n):
        raise Killed


class Step(Memento):
    def __init__(self, label):
        super().__init__()
        self.label = label

    def restore(self):
        n = event()
        if self.label in FAIL_RESTORE:
            raise RuntimeError(f"cannot undo {self.label}")
        WORLD.discard(self.label)
        after(n)

    def resolve_intent(self):
        return self.label in WORLD


NAME = f"{Step.__module__}.{Step.__qualname__}"
GROUPS = [["a1", "a2", "a3"], ["b1", "b2"], ["c1", "c2"]]
PLAN = [(label, i == 0) for group in GROUPS for i, label in enumerate(group)]


@pytest.fixture(autouse=True)
def clean(monkeypatch):
    Globals.reset()
    s3.clear_registry()
    WORLD.clear()
    FAIL_RESTORE.clear()
    KILL.update(at=None, events=0)
    MementoHistory.serve(None)
    monkeypatch.setattr(history, "ALLOWED_MEMENTO_CLASSES", history.ALLOWED_MEMENTO_CLASSES | {NAME})
    real_dump = history._dump

    def dump(folder, name, body):
        n = event()
        real_dump(folder, name, body)
        after(n)

    monkeypatch.setattr(history, "_dump", dump)
    yield
    MementoHistory.serve(None)
    Globals.reset()


@pytest.fixture
def folder(tmp_path):
    return str(tmp_path)


def stored(folder):
    path = os.path.join(folder, history.MEMENTO_FILE)
    if not os.path.exists(path):
        return {"entries": []}
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def journal(folder):
    return [(e["state"]["label"], e["begin"]) for e in stored(folder)["entries"]]


def claimed_done(folder):
    """The steps a resumed execute would take as done, read from the files alone."""
    doc = stored(folder)
    labels = [e["state"]["label"] for e in doc["entries"]]
    progress = doc.get("in_progress")
    if progress is None:
        return labels
    if progress["kind"] == "revert":
        return []  # execute refuses to run
    return labels[: progress["group_start"]]


# ---- the module's calls, replayed


def execute(folder, fail_after=None):
    """A run of the steps: skip the journalled ones, make and append the others; when the step
    `fail_after` is made, its group is rolled back as the module does. Returns 1 after a rollback."""
    MementoHistory.init(folder)
    drawn = MementoHistory.is_memento_exist()
    for label, begin in PLAN:
        if next(drawn):
            continue
        WORLD.add(label)
        MementoHistory.append(Step(label), MarkBegin=begin)
        if label == fail_after:
            roll_back()
            MementoHistory.flush()  # the upload
            return 1
    MementoHistory.flush()
    return 0


def roll_back():
    try:
        while not MementoHistory.isEmpty():
            begin = MementoHistory.isCmdBegin()
            memento = MementoHistory.pop()
            try:
                memento.restore()
            except Exception:
                MementoHistory.append(memento, MarkBegin=True) if begin else MementoHistory.append(memento)
                raise
            if begin:
                break
    except Exception:
        pass  # logged; the upload and the exit follow


def revert(folder):
    MementoHistory.init(folder)
    while not MementoHistory.isEmpty():
        begin = MementoHistory.isCmdBegin()
        memento = MementoHistory.pop()
        try:
            memento.restore()
        except Exception:
            MementoHistory.append(memento, MarkBegin=True) if begin else MementoHistory.append(memento)
            raise
    MementoHistory.flush()


def count_events(action):
    start = KILL["events"]
    action()
    return KILL["events"] - start


# ---- kill anywhere inside a rollback


@pytest.mark.parametrize("fail_after", ["a3", "c2"], ids=["group 0", "last group"])
def test_a_rollback_killed_anywhere_never_leaves_a_step_claimed_that_is_undone(tmp_path, fail_after):
    # The uninterrupted run: roll back, then a resumed run completes.
    clean_folder = str(tmp_path / "clean")
    assert execute(clean_folder, fail_after) == 1
    after_rollback = journal(clean_folder)
    WORLD.clear()
    total = count_events(lambda: execute(str(tmp_path / "probe"), fail_after))
    assert total > len(PLAN)  # the forward writes, then the rollback's records, restores and removals

    converged = 0
    for n in range(1, total + 1):
        for when in ("before", "after"):
            WORLD.clear()
            KILL.update(at=None, events=0)
            case = str(tmp_path / f"{when}-{n}")
            KILL["at"] = (when, n)
            try:
                status = execute(case, fail_after)
            except Killed:
                status = None
            KILL["at"] = None
            assert set(claimed_done(case)) <= WORLD, f"kill {when} event {n}: {journal(case)} vs {WORLD}"
            if status == 1:
                assert journal(case) == after_rollback
            # At most two resumes reach the clean end state.
            for _ in range(2):
                if execute(case) == 0:
                    break
            assert journal(case) == PLAN and WORLD == {label for label, _ in PLAN}, f"{when} {n}"
            assert stored(case).get("in_progress") is None
            converged += 1
    assert converged == 2 * total


def test_a_resumed_execute_finishes_the_rollback_newest_first_then_draws(folder):
    assert execute(folder, fail_after="b2") == 1
    # Killed in the middle: b2 undone, b1 not yet (its removal and the record still on file).
    WORLD.update({"b1", "b2"})
    MementoHistory.init(folder)
    MementoHistory.append(Step("b1"), MarkBegin=True)
    MementoHistory.append(Step("b2"))
    MementoHistory._progress = {"kind": "rollback", "group_start": 3}
    MementoHistory._write()
    WORLD.discard("b2")
    undone = []
    real = Step.restore

    def restore(self):
        undone.append(self.label)
        real(self)

    Step.restore = restore
    try:
        MementoHistory.init(folder)
        assert "rollback is in progress" in MementoHistory.describe_progress()
        drawn = MementoHistory.is_memento_exist()
    finally:
        Step.restore = real
    assert undone == ["b2", "b1"] and WORLD == {"a1", "a2", "a3"}
    assert journal(folder) == PLAN[:3] and MementoHistory.in_progress() is None
    assert [next(drawn) for _ in range(4)] == [True, True, True, False]


@pytest.mark.parametrize("failing, begin", [("c2", False), ("c1", True)])
def test_a_restore_failing_while_finishing_goes_back_with_its_mark_and_stops_the_run(folder, failing, begin):
    execute(folder, fail_after="__never__")
    MementoHistory.init(folder)
    MementoHistory._progress = {"kind": "rollback", "group_start": 5}
    MementoHistory._write()
    FAIL_RESTORE.add(failing)
    MementoHistory.init(folder)
    with pytest.raises(
        RollbackUnfinishedError, match=f"slot 5 could not be finished: RuntimeError: cannot undo {failing}"
    ):
        MementoHistory.is_memento_exist()
    kept = PLAN[: PLAN.index((failing, begin)) + 1]
    assert journal(folder) == kept and kept[-1] == (failing, begin)
    assert stored(folder)["in_progress"]["group_start"] == 5
    # The cause mended, the next run finishes it.
    FAIL_RESTORE.clear()
    assert execute(folder) == 0 and journal(folder) == PLAN


def test_a_restore_failing_in_the_rollback_is_put_back_in_one_write(folder):
    FAIL_RESTORE.add("b1")
    assert execute(folder, fail_after="b2") == 1
    assert journal(folder) == PLAN[:4] and stored(folder)["in_progress"]["group_start"] == 3
    assert WORLD == {"a1", "a2", "a3", "b1"}


# ---- revert


def test_a_revert_killed_anywhere_is_refused_by_execute_and_finished_by_revert(tmp_path):
    probe = str(tmp_path / "probe")
    execute(probe)
    total = count_events(lambda: revert(probe))
    assert total > 0
    for n in range(1, total + 1):
        for when in ("before", "after"):
            WORLD.clear()
            case = str(tmp_path / f"{when}-{n}")
            execute(case)
            KILL.update(at=None, events=0)
            KILL["at"] = (when, n)
            try:
                revert(case)
            except Killed:
                pass
            KILL["at"] = None
            assert set(claimed_done(case)) <= WORLD, f"kill {when} event {n}"
            if stored(case).get("in_progress"):
                with pytest.raises(RevertInProgressError, match="run 'tidewall revert'"):
                    execute(case)
            revert(case)
            assert WORLD == set() and stored(case) == {**stored(case), "entries": []}
            assert "in_progress" not in stored(case)


def test_revert_takes_over_an_unfinished_rollback(folder):
    FAIL_RESTORE.add("c1")
    assert execute(folder, fail_after="c2") == 1
    assert stored(folder)["in_progress"]["kind"] == "rollback"
    FAIL_RESTORE.clear()
    revert(folder)
    assert WORLD == set() and journal(folder) == [] and "in_progress" not in stored(folder)


def test_the_caller_can_say_what_the_history_serves(folder):
    execute(folder)
    MementoHistory.serve("revert")
    MementoHistory.init(folder)
    with pytest.raises(HistoryError, match="serves a revert"):
        MementoHistory.is_memento_exist()
    MementoHistory.serve("execute")
    MementoHistory.init(folder)
    MementoHistory.pop()  # an execute's pop is a rollback of the top group
    assert stored(folder)["in_progress"]["kind"] == "rollback"
    with pytest.raises(ValueError):
        MementoHistory.serve("status")


def test_nothing_is_recorded_for_an_empty_history_or_in_a_dry_run(folder):
    revert(folder)
    assert not os.path.exists(os.path.join(folder, history.MEMENTO_FILE))
    execute(folder)
    before = stored(folder)
    Globals.dry_run = True
    revert(folder)
    assert stored(folder) == before


# ---- change in progress


def test_an_intent_is_on_file_before_the_change_and_cleared_by_its_memento(folder):
    MementoHistory.init(folder)
    MementoHistory.record_intent(Step("a1"))
    assert stored(folder)["intent"] == {"class": NAME, "state": {"created_by": "Step", "label": "a1"}}
    MementoHistory.append(Step("a1"), MarkBegin=True)
    assert "intent" not in stored(folder) and journal(folder) == [("a1", True)]


@pytest.mark.parametrize("made", [True, False])
def test_an_intent_found_on_opening_is_kept_or_dropped(folder, made):
    MementoHistory.init(folder)
    MementoHistory.append(Step("a1"), MarkBegin=True)
    MementoHistory.record_intent(Step("a2"))
    if made:
        WORLD.add("a2")
    MementoHistory.init(folder)
    assert journal(folder) == ([("a1", True), ("a2", False)] if made else [("a1", True)])
    assert "intent" not in stored(folder)


def test_an_intent_in_a_dry_run_writes_nothing(folder):
    MementoHistory.init(folder)
    Globals.dry_run = True
    MementoHistory.init(folder)
    MementoHistory.record_intent(Step("a1"))
    assert not os.path.exists(os.path.join(folder, history.MEMENTO_FILE))


def test_an_intent_needs_a_memento_that_can_settle_it(folder):
    class Plain(Memento):
        def restore(self):
            pass

    MementoHistory.init(folder)
    with pytest.raises(HistoryError):
        MementoHistory.record_intent(Plain())


def _natgw_delete(monkeypatch, made):
    from tidewall.lib.natgw import NatGwDeleteMemento

    monkeypatch.setattr(NatGwDeleteMemento, "resolve_intent", lambda self: made, raising=False)
    return NatGwDeleteMemento(
        "vpc-1", "subnet-1", "10.0.1.0/24", "nat-1", "10.0.1.5", "3.3.3.3", "eipalloc-1", [], [], []
    )


@pytest.mark.parametrize(
    "enable_test, journalled, begin",
    [
        (False, ["A1", "A2"], False),
        (False, ["A1", "A2", "A3", "A4", "A5", "A6"], True),
        (True, ["T"] + ["A1"] * 6, True),
    ],
    ids=["A3", "B1", "B1 after the baseline test"],
)
def test_a_kept_intent_takes_the_group_mark_the_layout_declares(
    folder, monkeypatch, enable_test, journalled, begin
):
    from tidewall.commands import journal_layout

    CommandHistory.init(folder, VPC)
    CommandHistory.set_run_settings({"enable_test": enable_test, "hs_mode": 2})
    CommandHistory.log_discover_natgw_cmd(
        [{"subnet_id": f"s{i}", "size": "a", "initial_size": "a"} for i in range(3)]
    )
    MementoHistory.init(folder)
    for code in journalled:
        MementoHistory.append(Step(code), MarkBegin=journal_layout.STEPS[code].opens_group)
    MementoHistory.record_intent(_natgw_delete(monkeypatch, True))
    MementoHistory.init(folder)
    name, last_begin, _state = MementoHistory.entries()[-1]
    assert name.endswith("NatGwDeleteMemento") and last_begin is begin
    assert len(MementoHistory.entries()) == len(journalled) + 1


def test_an_intent_pending_when_a_rollback_starts_is_settled_first(folder, monkeypatch):
    MementoHistory.init(folder)
    MementoHistory.is_memento_exist()
    WORLD.update({"a1", "a2"})
    MementoHistory.append(Step("a1"), MarkBegin=True)
    MementoHistory.record_intent(Step("a2"))  # made, then the step raised for a rollback
    roll_back()
    MementoHistory.flush()
    assert WORLD == set() and journal(folder) == [] and "in_progress" not in stored(folder)


# ---- the acceptance test of a group


class SpokeStep(Step):
    """The last step of each group creates a spoke, whose acceptance test follows."""


SPOKE = f"{SpokeStep.__module__}.{SpokeStep.__qualname__}"


@pytest.fixture
def tested(monkeypatch, tmp_path):
    """Acceptance tests on (as the first run recorded them), with SpokeStep as the spoke memento."""
    monkeypatch.setattr(history, "ALLOWED_MEMENTO_CLASSES", history.ALLOWED_MEMENTO_CLASSES | {NAME, SPOKE})
    monkeypatch.setattr(history, "SPOKE_MEMENTO_CLASSES", frozenset({SPOKE}))

    def new_folder(name):
        folder = str(tmp_path / name)
        CommandHistory.init(folder, VPC)
        CommandHistory.set_run_settings({"enable_test": True, "hs_mode": 2})
        return folder

    return new_folder


def execute_tested(folder, failing=()):
    """A run with an acceptance test after each group made in this run; the test of a group in
    `failing` fails and rolls the group back. Returns 1 after a rollback."""
    MementoHistory.init(folder)
    drawn = MementoHistory.is_memento_exist()
    for group in GROUPS:
        spoke_made = False
        for i, label in enumerate(group):
            if next(drawn):
                continue
            WORLD.add(label)
            last = i == len(group) - 1
            MementoHistory.append((SpokeStep if last else Step)(label), MarkBegin=i == 0)
            spoke_made = last
        if not spoke_made:
            continue  # the spoke was found journalled: the module does not test it again
        MementoHistory.record_test_start()
        n = event()  # the test's checks
        passed = group[0] not in failing
        after(n)
        if passed:
            MementoHistory.record_test_passed()
        else:
            roll_back()
            MementoHistory.flush()
            return 1
    MementoHistory.flush()
    return 0


@pytest.mark.parametrize("persistent", [True, False], ids=["failing every time", "failing once"])
def test_a_failed_acceptance_test_is_never_lost_by_a_kill(tested, persistent):
    clean_folder = tested("clean")
    assert execute_tested(clean_folder, failing={"b1"}) == 1
    clean_end = (journal(clean_folder), set(WORLD))
    assert execute_tested(clean_folder, failing={"b1"} if persistent else ()) == (1 if persistent else 0)
    resumed_end = (journal(clean_folder), set(WORLD))
    WORLD.clear()
    total = count_events(lambda: execute_tested(tested("probe"), failing={"b1"}))
    for n in range(1, total + 1):
        for when in ("before", "after"):
            WORLD.clear()
            KILL.update(at=None, events=0)
            case = tested(f"{when}-{n}")
            KILL.update(at=(when, n), events=0)
            try:
                status = execute_tested(case, failing={"b1"})
            except Killed:
                status = None
            KILL["at"] = None
            assert set(claimed_done(case)) <= WORLD, f"kill {when} event {n}"
            if status is None:
                # The resumed run: the failure is still there, or it is gone.
                status = execute_tested(case, failing={"b1"} if persistent else ())
                want = clean_end if persistent else resumed_end
            else:
                want = clean_end
            assert (journal(case), WORLD) == want, f"kill {when} event {n}"
            assert status == (1 if want == clean_end else 0)
            assert stored(case).get("in_progress") is None


def test_a_spoke_opens_its_test_record_and_a_pass_clears_it(tested):
    folder = tested("f")
    MementoHistory.init(folder)
    MementoHistory.is_memento_exist()
    MementoHistory.append(Step("a1"), MarkBegin=True)
    assert "in_progress" not in stored(folder)
    MementoHistory.append(SpokeStep("a2"))  # written with the spoke's memento, in one write
    assert stored(folder)["in_progress"]["kind"] == "test" and len(stored(folder)["entries"]) == 2
    MementoHistory.record_test_start()
    MementoHistory.init(folder)
    assert "group at journal slot 0 has not passed" in MementoHistory.describe_progress()
    MementoHistory.record_test_passed()
    assert "in_progress" not in stored(folder)
    # Without acceptance tests a spoke opens no record.
    CommandHistory.set_run_settings({"enable_test": False, "hs_mode": 2})
    MementoHistory.append(SpokeStep("b1"), MarkBegin=True)
    assert "in_progress" not in stored(folder)


def test_an_undo_resumed_by_revert_is_no_warning_and_a_restore_is_known_while_it_runs(folder, caplog):
    execute(folder)
    MementoHistory.init(folder)
    assert not MementoHistory.restoring()
    MementoHistory.pop()  # records the revert as in progress
    assert MementoHistory.restoring()  # the popped memento's restore runs now
    MementoHistory.isEmpty()  # the next call writes its removal
    assert not MementoHistory.restoring()
    caplog.set_level(logging.INFO)
    try:
        for purpose, level in (("execute", logging.WARNING), ("revert", logging.INFO)):
            caplog.clear()
            MementoHistory.serve(purpose)
            MementoHistory.init(folder)
            assert [r.levelno for r in caplog.records if "revert" in r.getMessage()] == [level], purpose
    finally:
        MementoHistory.serve(None)
