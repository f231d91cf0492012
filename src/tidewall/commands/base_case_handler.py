"""Base class of the top-level commands and the decorator that logs their runs."""

import functools
import logging
import time

logger = logging.getLogger("tidewall.commands.base_case_handler")


class BaseCaseHandler:
    """Top-level command: the dispatcher calls its class-level execute/revert/cleanup."""


def logged(func):
    """Log the start and the end (with its duration) of a command; pass the result through.

    A failure is logged at debug level only: the command line reports it, once, in one line.
    """
    name = getattr(func, "__name__", "command")

    @functools.wraps(func)
    def wrapper(cls, *args, **kwargs):
        label = f"{getattr(cls, '__name__', cls)}.{name}"
        logger.debug("Start %s", label)
        logger.info("Starting %s", name)
        started = time.monotonic()
        try:
            result = func(cls, *args, **kwargs)
        except SystemExit as e:
            logger.debug("End %s: exit status %s after %.1f s", label, e.code, time.monotonic() - started)
            raise
        except BaseException as e:
            logger.debug(
                "Failed %s after %.1f s: %s: %s", label, time.monotonic() - started, type(e).__name__, e
            )
            raise
        elapsed = time.monotonic() - started
        logger.info("Finished %s after %.1f s", name, elapsed)
        logger.debug("End %s after %.1f s", label, elapsed)
        return result

    return wrapper
