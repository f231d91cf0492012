"""Process-wide run settings, read and written as class attributes."""


class Globals:
    # Controller login identifier, set after logging in.
    CID = None
    # Controller address (host or host:port), set from the configuration.
    controller_ip = None
    # When true, nothing is changed anywhere: no controller or AWS change, no journal change.
    dry_run = False
    # The run's AwsClientManager; mementos take their AWS clients from it when they restore.
    aws_client_manager = None
    # Stop the replacement loop before the NAT gateway whose index reaches this; negative: no stop.
    cmdcnt = -1
    # Upper limit of the number of spokes when hs_mode is not 2.
    HS_LIMIT = 2
    # The run's `waits` settings (poll interval, time-out, ...); None: the defaults. Mementos read them when
    # they restore, so a revert waits as its own configuration says.
    waits = None
    # The run's `controller` settings (progress interval, read time-out); None: the defaults.
    controller = None
    # The run's `egress` settings ({"keep": bool, "grace": seconds}); None: the defaults.
    egress = None

    @classmethod
    def reset(cls):
        """Put every setting back to its default (a new run in the same process)."""
        cls.CID = None
        cls.controller_ip = None
        cls.dry_run = False
        cls.aws_client_manager = None
        cls.cmdcnt = -1
        cls.HS_LIMIT = 2
        cls.waits = None
        cls.controller = None
        cls.egress = None
