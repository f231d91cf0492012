"""A clock that only moves when the code under test sleeps."""


class FakeTime:
    def __init__(self):
        self.now = 0.0
        self.sleeps = []

    def __call__(self):  # usable as a monotonic() stand-in
        return self.now

    def clock(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
