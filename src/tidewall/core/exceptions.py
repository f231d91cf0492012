"""Exceptions shared by the commands."""


class CorvaneRollbackException(Exception):
    """Raised by a step to roll back the current group of steps."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return str(self.message)
