"""How much time tidewall.lib.spoke adds on top of the HTTP requests it makes, and its import time.

The network is stubbed out by a transport adapter that answers from memory, mounted on one requests
Session that the patched `requests.post` / `requests.get` use; everything else in `requests` (request
preparation, form and query encoding, response handling) runs for real. For each operation the
benchmark times the operation itself and then the bare `requests` calls it makes (same method, URL,
fields, and the JSON decoding); the difference is what the module adds. That difference of two
figures hundreds of microseconds large is noisy, so the module's own time is also measured with an
instant transport (the module's `requests` answering with ready decoded replies), less the cost of
those instant calls themselves: the "own" column, judged against the target. The failure handlers
are replaced by a trivial function and the loggers are left at WARNING in both measurements.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_spoke.py [--rounds 7] [--calls 300]
"""

import argparse
import gc
import json
import logging
import statistics
import subprocess
import sys
import time
from types import SimpleNamespace
from urllib.parse import parse_qsl, urlsplit

import requests
import requests.adapters

URL = "https://controller.bench/v2/api"
CID = "bench-cid"
TARGET_OVERHEAD_US = 50.0
TARGET_IMPORT_MS = 10.0

SUMMARY = {
    "gw_name": "p",
    "public_subnet": "10.0.1.0/24",
    "private_ip": "10.0.1.10",
    "public_ip": "198.51.100.10",
    "gw_subnet_id": "subnet-1",
    "hagw_details_list": [
        {
            "gw_name": "p-hagw",
            "public_subnet": "10.0.2.0/24",
            "private_ip": "10.0.2.10",
            "public_ip": "198.51.100.11",
            "gw_subnet_id": "subnet-2",
        }
    ],
}

ANSWERS = {
    "get_gateway_info": {
        "return": True,
        "results": {"gw_name": "p", "gw_subnet_cidr": "10.0.1.0/24", "vpc_size": "t3.small"},
    },
    "list_vpcs_summary": {"return": True, "results": [SUMMARY]},
    "list_primary_and_ha_spoke_gateways": {"return": True, "results": [{"name": "p"}, {"name": "p-hagw"}]},
    "create_multicloud_ha_gateway": {"return": True, "results": "created", "ha_gw_name": "p-hagw"},
}
DEFAULT_ANSWER = {"return": True, "results": "done"}
ENCODED = {action: json.dumps(body).encode() for action, body in ANSWERS.items()}
ENCODED_DEFAULT = json.dumps(DEFAULT_ANSWER).encode()


class MemoryAdapter(requests.adapters.BaseAdapter):
    """A transport without a network: answers by the request's action."""

    def send(self, request, **kwargs):
        fields = parse_qsl(urlsplit(request.url).query)
        if request.body:
            body = request.body if isinstance(request.body, str) else request.body.decode()
            fields += parse_qsl(body)
        action = dict(fields).get("action")
        response = requests.Response()
        response.status_code = 200
        response._content = ENCODED.get(action, ENCODED_DEFAULT)
        response.headers["Content-Type"] = "application/json"
        response.url = request.url
        response.request = request
        response.connection = self
        return response

    def close(self):
        pass


def stub_transport():
    """Route requests.post / requests.get through one Session with the memory adapter."""
    session = requests.Session()
    session.trust_env = False
    session.mount("https://", MemoryAdapter())

    def post(url, data=None, json=None, **kwargs):
        return session.request("POST", url, data=data, json=json, **kwargs)

    def get(url, params=None, **kwargs):
        return session.request("GET", url, params=params, **kwargs)

    requests.post, requests.get = post, get


def nat(cidr, nat_id, size):
    return SimpleNamespace(subnet_cidr=cidr, nat_gw_id=nat_id, gateway_size=size)


def operations(spoke):
    nats = [nat("10.0.1.0/24", "nat-1", "t3.small"), nat("10.0.2.0/24", "nat-2", "t3.small")]
    return [
        ("getSpokeInfo", lambda: spoke.getSpokeInfo(SUMMARY, "10.0.2.0/24")),
        ("list_gateway_info", lambda: spoke.list_gateway_info(URL, CID, "", "no", "p")),
        ("getSubnetWithSpokeGw", lambda: spoke.getSubnetWithSpokeGw(CID, URL, ["p", "p-hagw"])),
        ("changeSpokeSize", lambda: spoke.changeSpokeSize(CID, URL, "p", "t3.large")),
        ("deployClassicSpoke", lambda: spoke.deployClassicSpoke(CID, URL, "a", "c", None, "vpc", "r", nats)),
        (
            "deployPrimaryHsSpoke",
            lambda: spoke.deployPrimaryHsSpoke(CID, URL, "a", "p", "t3.small", "vpc", "r", "10.0.1.0/24"),
        ),
        ("deployHaHsSpoke", lambda: spoke.deployHaHsSpoke(CID, URL, "p", "t3.small", "10.0.2.0/24")),
        ("deployHsSpoke", lambda: spoke.deployHsSpoke(CID, URL, "a", "q", None, "vpc", "r", nats, 2)),
        ("deleteSpoke", lambda: spoke.deleteSpoke(CID, URL, "c")),
        ("deleteHsSpoke", lambda: spoke.deleteHsSpoke(CID, URL, "p")),
        ("deleteAllHsSpokes", lambda: spoke.deleteAllHsSpokes(CID, URL, "p")),
        ("enableSNAT", lambda: spoke.enableSNAT("p", URL, CID)),
        ("disable_snat", lambda: spoke.disable_snat(CID, URL, "p")),
        (
            "HsSpokeCmd.create",
            lambda: spoke.HsSpokeCmd("a", "p", None, "vpc", "r").create("10.0.1.0/24", None, "t3"),
        ),
        ("HsSpokeCmd.delete", lambda: spoke.HsSpokeCmd(spoke_gw_name="p").delete()),
        ("SnatCmd.enable", lambda: spoke.SnatCmd("p").enable()),
        ("SnatEnableMemento.restore", lambda: spoke.SnatEnableMemento("p").restore()),
        (
            "ResizeSpokeGatewayCmd.execute",
            lambda: spoke.ResizeSpokeGatewayCmd("p", "t3.small", "t3.large").execute(),
        ),
    ]


class Recorder:
    """Stands in for `requests` once per operation to learn which calls it makes."""

    def __init__(self):
        self.calls = []

    def post(self, url, **kwargs):
        self.calls.append(("post", url, kwargs))
        return requests.post(url, **kwargs)

    def get(self, url, **kwargs):
        self.calls.append(("get", url, kwargs))
        return requests.get(url, **kwargs)


class InstantReply:
    __slots__ = ("body",)

    def __init__(self, body):
        self.body = body

    def json(self):
        return self.body


class InstantTransport:
    """Stands in for `requests` with ready decoded answers: no encoding, no transport."""

    def __init__(self):
        self.replies = {action: InstantReply(body) for action, body in ANSWERS.items()}
        self.default = InstantReply(DEFAULT_ANSWER)

    def post(self, url, data=None, **kwargs):
        return self.replies.get(data["action"], self.default)

    def get(self, url, data=None, params=None, **kwargs):
        return self.replies.get((data if data is not None else params)["action"], self.default)


def instant(spoke, backend, run, calls):
    """The operation and the bare calls it makes, both on the instant transport."""
    transport = InstantTransport()
    bound = [(getattr(transport, method), url, kwargs) for method, url, kwargs in calls]

    def operation():
        spoke.requests, backend.requests = transport, transport
        try:
            run()
        finally:
            spoke.requests, backend.requests = requests, requests

    def replay():
        spoke.requests, backend.requests = transport, transport
        try:
            for send, url, kwargs in bound:
                send(url, **kwargs).json()
        finally:
            spoke.requests, backend.requests = requests, requests

    return operation, replay


def recorded_calls(spoke, backend, run):
    recorder = Recorder()
    spoke.requests, backend.requests = recorder, recorder
    try:
        run()
    finally:
        spoke.requests, backend.requests = requests, requests
    return recorder.calls


def bare(calls):
    """The same requests, made directly, each answer decoded as the module does."""
    bound = [(getattr(requests, method), url, kwargs) for method, url, kwargs in calls]

    def run():
        for send, url, kwargs in bound:
            send(url, **kwargs).json()

    return run


def per_call_us(runs, calls, rounds):
    """Best time per call of each function, in microseconds; rounds alternate between them."""
    best = [float("inf")] * len(runs)
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for i, run in enumerate(runs):
                start = time.perf_counter()
                for _ in range(calls):
                    run()
                best[i] = min(best[i], (time.perf_counter() - start) / calls)
    finally:
        gc.enable()
    return [b * 1e6 for b in best]


def import_time_ms(runs):
    """Import time of tidewall.lib.spoke after `import requests`, each in a fresh interpreter.

    Two figures: everything the import brings in (the tool's host modules included), and the
    module's own load with those host modules already imported.
    """
    whole = (
        "import time, requests\n"
        "t = time.perf_counter(); import tidewall.lib.spoke\n"
        "print((time.perf_counter() - t) * 1e3)"
    )
    own = (
        "import time, requests, logging\n"
        "import tidewall.lib.corvane_backend, tidewall.core.exceptions, tidewall.core.Globals\n"
        "import tidewall.commands.abstract_command, tidewall.commands.memento, tidewall.lib.commonlib\n"
        "t = time.perf_counter(); import tidewall.lib.spoke\n"
        "print((time.perf_counter() - t) * 1e3)"
    )
    results = {}
    for label, script in (("with host modules", whole), ("module alone", own)):
        samples = [
            float(
                subprocess.run(
                    [sys.executable, "-c", script], capture_output=True, text=True, check=True
                ).stdout
            )
            for _ in range(runs)
        ]
        results[label] = statistics.median(samples)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="timing rounds per figure (best is kept)")
    parser.add_argument("--calls", type=int, default=300, help="calls per round")
    parser.add_argument("--imports", type=int, default=15, help="fresh interpreters for the import time")
    args = parser.parse_args()

    import tidewall.lib.spoke as spoke
    from tidewall.core.Globals import Globals
    from tidewall.lib import corvane_backend as backend

    stub_transport()
    logging.getLogger().setLevel(logging.WARNING)
    spoke.handleControllerApiFailure = lambda response: True
    spoke.handleControllerApiFailureAndExit = lambda response: True
    Globals.CID, Globals.controller_ip, Globals.dry_run = CID, "controller.bench", False

    print(f"{'operation':30} {'requests':>8} {'total us':>9} {'bare us':>9} {'added us':>9} {'own us':>7}")
    worst = 0.0
    for name, run in operations(spoke):
        calls = recorded_calls(spoke, backend, run)
        operation, replay = instant(spoke, backend, run, calls)
        total, baseline, own_total, own_baseline = per_call_us(
            [run, bare(calls), operation, replay], args.calls, args.rounds
        )
        own = own_total - own_baseline
        worst = max(worst, own)
        print(f"{name:30} {len(calls):8d} {total:9.1f} {baseline:9.1f} {total - baseline:9.1f} {own:7.1f}")
    print(f"largest own overhead: {worst:.1f} us (target < {TARGET_OVERHEAD_US:.0f} us)")

    for label, ms in import_time_ms(args.imports).items():
        print(
            f"import tidewall.lib.spoke after requests, {label}: {ms:.2f} ms (target < {TARGET_IMPORT_MS:.0f} ms)"
        )


if __name__ == "__main__":
    main()
