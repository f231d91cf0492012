"""The one place where the migration announces its steps to whoever keeps something up alongside them.

The memento history announces, with the journal slot (`journal_layout.Slot`, or None when the slot is not
known) and the memento where there is one:

    before    a step is about to run (its draw came out false: no memento of it is journalled yet)
    appended  a step's memento was put on the journal (the step is done)
    popped    a memento was taken off to be undone (its restore comes next)
    upload    the backup folder is about to be stored in S3 (the end of a run, or of a rollback)

A hook is any object with a method `step(event, slot, memento)`; it is told every event, in the order of
registration. A hook that raises stops the step it was told about, so a hook that only keeps something
up catches what it can live with itself.
"""

from __future__ import annotations

EVENTS = ("before", "appended", "popped", "upload")

_hooks = []


def register(hook):
    """Add `hook` (once); returns it."""
    if not callable(getattr(hook, "step", None)):
        raise TypeError(f"{hook!r} has no step(event, slot, memento) method")
    if hook not in _hooks:
        _hooks.append(hook)
    return hook


def unregister(hook):
    if hook in _hooks:
        _hooks.remove(hook)


def registered():
    return list(_hooks)


def announce(event, slot=None, memento=None):
    """Tell every registered hook about `event` at `slot`."""
    if event not in EVENTS:
        raise ValueError(f"unknown step event {event!r}")
    for hook in list(_hooks):
        hook.step(event, slot, memento)
