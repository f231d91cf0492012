"""Faults for the kill-anywhere tests of rollbacks and reverts, loaded in the child process by the
harness (TIDEWALL_FAULTS_PLUGINS=undo_faults:fail_acceptance_test).

TIDEWALL_FAIL_TEST_AT=I makes the acceptance test of the spoke that replaces NAT gateway I fail, in every
run (a persistent fault: the spoke's Elastic IP check fails), so that the run rolls back that group.
"""

import os

ENV_FAIL_TEST_AT = "TIDEWALL_FAIL_TEST_AT"
PLUGIN = "undo_faults:fail_acceptance_test"


def fail_acceptance_test():
    index = os.environ.get(ENV_FAIL_TEST_AT)
    if index is None:
        return
    index = int(index)

    from tidewall.commands.history import CommandHistory
    from tidewall.lib import test

    original = test._check_spoke_ip

    def check_spoke_ip(ec2_client, public_ip, subnet_id, expect_eip):
        records = CommandHistory.get_discovered_natgws()
        if index < len(records) and subnet_id == records[index].get("subnet_id"):
            return test._check("spoke_public_ip", False, f"failed on purpose for NAT gateway {index}")
        return original(ec2_client, public_ip, subnet_id, expect_eip)

    test._check_spoke_ip = check_spoke_ip


def env(world, index):
    """The child environment of a run of `world` whose acceptance test fails at NAT gateway `index`."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = world.child_env()["PYTHONPATH"] + os.pathsep + here
    return {"PYTHONPATH": path, "TIDEWALL_FAULTS_PLUGINS": PLUGIN, ENV_FAIL_TEST_AT: str(index)}
