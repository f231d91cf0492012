"""`tidewall sandbox --serve`: the simulated AWS and controller with a seeded VPC, and nothing run against them.

Writes DIR/config.yaml (a tool configuration for the VPC; with `vpcs` K, for the first of K VPCs seeded in
two regions, and DIR/fleet.yaml, a fleet file of them all) and, once everything answers, DIR/sandbox.json
(where the services are, the controller password and the VPC). Serves until SIGINT or SIGTERM, then stops the
services, removes sandbox.json and returns 0. Scripts wait for sandbox.json to appear, drive the tool with the
configuration and stop the sandbox with a signal.
"""

from __future__ import annotations

import os
import signal
import sys
import threading

from tidewall.core.exceptions import EXIT_OK


def wait_for_signal():
    """Block until SIGINT or SIGTERM; the previous handlers come back afterwards."""
    done = threading.Event()
    previous = {}
    for sig in (signal.SIGINT, signal.SIGTERM):
        previous[sig] = signal.signal(sig, lambda *_: done.set())
    try:
        while not done.wait(0.5):
            pass
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def serve_sandbox(
    workdir,
    nat_gateways=3,
    out=None,
    stop=None,
    *,
    time_scale=1.0,
    durations=None,
    private_natgw=None,
    secondary_eip=None,
    shapes=(),
    vpcs=None,
    fail_vpc=None,
):
    """Serve a seeded sandbox until a signal (or until the `stop` event is set); returns the exit status.

    The world options are those of `Services` (an instant world unless `durations` is given)."""
    from tidewall.sandbox.aws import SEED_PRIVATE_NATGW, SEED_SECONDARY_EIP
    from tidewall.sandbox.services import PASSWORD_ENV, Services

    out = out if out is not None else sys.stdout
    private_natgw = SEED_PRIVATE_NATGW if private_natgw is None else private_natgw
    secondary_eip = SEED_SECONDARY_EIP if secondary_eip is None else secondary_eip
    services = Services(
        os.path.abspath(workdir),
        nat_gateways=nat_gateways,
        time_scale=time_scale,
        durations=durations,
        private_natgw=private_natgw,
        secondary_eip=secondary_eip,
        shapes=shapes,
        vpcs=vpcs,
        failing_vpcs=[fail_vpc] if fail_vpc is not None else [],
    )
    services.remove_info()  # a stale file from an earlier sandbox must not be taken for this one
    with services:
        path = services.write_info()
        info = services.info()
        print(
            f"Sandbox serving: AWS at {info['aws_endpoint']}, controller at https://{info['controller']}, "
            f"VPC {info['vpc_id']} ({info['region']}, {len(info['nat_gateways'])} NAT gateways)",
            file=out,
        )
        if vpcs:
            regions = sorted({v["region"] for v in info["vpcs"]})
            print(
                f"  fleet   {services.fleet_path} ({len(info['vpcs'])} VPC{'' if len(info['vpcs']) == 1 else 's'} in {', '.join(regions)})",
                file=out,
            )
        print(f"  config  {services.config_path}", file=out)
        print(f"  details {path}", file=out)
        print(f"  export {PASSWORD_ENV}='{info['password']}'", file=out)
        print("Stop with Ctrl-C or SIGTERM.", file=out, flush=True)
        try:
            if stop is not None:
                stop.wait()
            else:
                wait_for_signal()
        finally:
            services.remove_info()
    print("Sandbox stopped.", file=out, flush=True)
    return EXIT_OK
