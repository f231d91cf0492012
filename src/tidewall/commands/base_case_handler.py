"""Base class of the top-level commands and the decorator that logs their runs."""

import functools
import logging
import time

logger = logging.getLogger("tidewall.commands.base_case_handler")


class BaseCaseHandler:
    """Top-level command: the dispatcher calls its class-level execute/revert/cleanup."""


def logged(func):
    """Log the start, the end with its duration, and a failure of a command; pass the result through."""
    name = getattr(func, "__name__", "command")

    @functools.wraps(func)
    def wrapper(cls, *args, **kwargs):
        label = f"{getattr(cls, '__name__', cls)}.{name}"
        logger.info("Start %s", label)
        started = time.monotonic()
        try:
            result = func(cls, *args, **kwargs)
        except SystemExit as e:
            logger.error("End %s: exit status %s after %.1f s", label, e.code, time.monotonic() - started)
            raise
        except BaseException as e:
            logger.error(
                "Failed %s after %.1f s: %s: %s", label, time.monotonic() - started, type(e).__name__, e
            )
            raise
        logger.info("End %s after %.1f s", label, time.monotonic() - started)
        return result

    return wrapper
