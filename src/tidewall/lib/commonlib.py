"""Small helpers shared by the commands."""

import logging

logger = logging.getLogger("tidewall.lib.commonlib")

# Called with the command's name whenever a command step starts (registered with `on_operation`).
_listeners = []


def on_operation(listener):
    """Call `listener(name)` at the start of every command step (once per listener)."""
    if listener not in _listeners:
        _listeners.append(listener)


class Common:
    @staticmethod
    def logOperation(name):
        """Record the start of a command step under the command's class name (a debug line: the step's own
        line says in plain words what it does)."""
        logger.debug("Operation: %s", name)
        for listener in _listeners:
            listener(name)
