"""Base class of the objects that undo one recorded step."""


class Memento:
    def __init__(self):
        self.created_by = type(self).__name__

    def restore(self):
        raise NotImplementedError(f"{type(self).__name__} cannot restore")

    def toDict(self):
        return self.__dict__
