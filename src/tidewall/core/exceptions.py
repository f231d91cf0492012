"""The tool's own errors and its exit statuses.

Every error the tool raises on purpose derives from `TidewallError` and carries the exit status the command
line ends with when it reaches the top (`exit_code`, as click's `ClickException` does). The command line
maps them in one place; a new kind of failure is a new subclass, not a new `except` clause there.
"""

EXIT_OK = 0
EXIT_FAILED = 1  # ended with a rollback, a fatal precondition or an error
EXIT_USAGE = 2  # refused before anything changed: command line, configuration, journal or lock
EXIT_SKIPPED = 3  # `tidewall fleet`: nothing failed, but a VPC stayed locked by another run
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT
EXIT_TERMINATED = 143  # SIGTERM, as a shell reports it


class TidewallError(Exception):
    """Root of the tool's own errors. `exit_code` is the command line's exit status for it."""

    exit_code = EXIT_FAILED

    def __init__(self, message="", *args, exit_code=None):
        super().__init__(message, *args)
        self.message = message
        if exit_code is not None:
            self.exit_code = exit_code

    def __str__(self):
        return str(self.message)


class UsageError(TidewallError):
    """A problem with the command line, the configuration or the journal found before anything changed."""

    exit_code = EXIT_USAGE


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread like Ctrl-C's KeyboardInterrupt, so that cleanup still runs.

    Not a TidewallError: like Ctrl-C it is a request to stop, and code that catches errors must not
    swallow it.
    """

    exit_code = EXIT_TERMINATED


class CorvaneRollbackException(TidewallError):
    """Raised by a step to roll back the current group of steps."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return str(self.message)
