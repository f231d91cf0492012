"""Base class of undoable commands run by the dispatcher."""

from abc import ABC, abstractmethod


class AbstractCommand(ABC):
    def __init__(self):
        self.done = False

    @abstractmethod
    def execute(self):
        """Carry out the command."""

    @abstractmethod
    def undo(self):
        """Undo what execute did."""
