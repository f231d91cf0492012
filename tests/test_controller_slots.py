"""The cap on controller requests in flight across processes: several processes of the tool log in, send
requests and log out against a stand-in controller that records how many requests it holds at once."""

import json
import os
import signal
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

import pytest
import trustme

import tidewall
from tidewall.lib.controller_slots import SLOTS_ENV, controller_slot, make_slots

SRC = os.path.dirname(os.path.dirname(tidewall.__file__))

CLIENT = """
import sys
from tidewall.lib import corvane_backend as backend

address = sys.argv[1]
version, cid = backend.getCid(address, "admin", "pw")
for _ in range(4):
    reply = backend.controller_http.post(
        f"https://{address}/v2/api", data={"action": "list_accounts", "CID": cid}, verify=False
    )
    assert reply.json()["return"] is True
assert backend.endSession(address, cid)
"""


class StandIn(ThreadingHTTPServer):
    """Answers every action after a short pause; counts the requests it holds at once."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.lock = threading.Lock()
        self.in_flight = 0
        self.most = 0
        self.actions = []
        ca = trustme.CA()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ca.issue_cert("127.0.0.1").configure_cert(context)
        self.socket = context.wrap_socket(self.socket, server_side=True)

    @property
    def address(self):
        return f"127.0.0.1:{self.server_address[1]}"


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):  # noqa: N802 - http.server's name
        server = self.server
        form = parse_qs(self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode())
        action = form.get("action", [""])[0]
        with server.lock:
            server.in_flight += 1
            server.most = max(server.most, server.in_flight)
            server.actions.append(action)
        time.sleep(0.03)
        with server.lock:
            server.in_flight -= 1
        reply = {"return": True, "results": []}
        if action == "login":
            reply.update(CID="c1d", version="7.2.0")
        body = json.dumps(reply).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture
def stand_in():
    server = StandIn()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


def _env(**extra):
    env = {k: v for k, v in os.environ.items() if k != SLOTS_ENV}
    env["PYTHONPATH"] = SRC + os.pathsep + os.environ.get("PYTHONPATH", "")
    env.update(extra)
    return env


@pytest.mark.parametrize("slots", [1, 2])
def test_requests_in_flight_never_exceed_the_slots_across_processes(stand_in, tmp_path, slots):
    folder = make_slots(str(tmp_path), slots)
    env = _env(**{SLOTS_ENV: folder})
    procs = [
        subprocess.Popen([sys.executable, "-c", CLIENT, stand_in.address], env=env, stderr=subprocess.PIPE)
        for _ in range(5)
    ]
    errors = [p.communicate(timeout=120)[1] for p in procs]
    assert [p.returncode for p in procs] == [0] * 5, errors
    # Login, four requests and the logout of each process: every one went through a slot.
    assert sorted(set(stand_in.actions)) == ["list_accounts", "login", "logout"]
    assert len(stand_in.actions) == 5 * 6
    assert 1 <= stand_in.most <= slots


def test_without_the_variable_nothing_is_held(monkeypatch, tmp_path):
    monkeypatch.delenv(SLOTS_ENV, raising=False)
    opened = []
    real_open = os.open
    monkeypatch.setattr(os, "open", lambda *a, **k: opened.append(a) or real_open(*a, **k))
    with controller_slot():
        pass
    assert opened == []


def test_a_killed_holder_gives_its_slot_back(tmp_path, monkeypatch):
    folder = make_slots(str(tmp_path), 1)
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, time\nfrom tidewall.lib.controller_slots import controller_slot\n"
            "with controller_slot():\n    print('held', flush=True)\n    time.sleep(600)\n",
        ],
        env=_env(**{SLOTS_ENV: folder}),
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline().strip() == "held"
        holder.send_signal(signal.SIGKILL)
        holder.wait(timeout=30)
        monkeypatch.setenv(SLOTS_ENV, folder)
        taken = threading.Event()

        def take():
            with controller_slot():
                taken.set()

        thread = threading.Thread(target=take, daemon=True)
        thread.start()
        assert taken.wait(timeout=30), "the slot of a killed process stayed taken"
    finally:
        holder.kill()
        holder.wait()
