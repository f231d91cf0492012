"""Small helpers shared by the commands."""

import logging

logger = logging.getLogger("tidewall.lib.commonlib")


class Common:
    @staticmethod
    def logOperation(name):
        """Record the start of a command step under the command's class name (a debug line: the step's own
        line says in plain words what it does)."""
        logger.debug("Operation: %s", name)
