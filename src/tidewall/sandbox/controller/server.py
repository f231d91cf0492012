"""The simulated controller's server: HTTPS on 127.0.0.1, the request record, and the faults it can show.

It ships with the tool and `tidewall sandbox --keep` leaves it running, so it holds up against any client:
a request body larger than `MAX_BODY` is refused (413) without being read, a connection that sends nothing
(during the TLS handshake or a request) is closed after `READ_TIMEOUT` seconds without holding up other
clients, the record of requests keeps the latest `MAX_RECORDED`, and a malformed request gets an error
answer, never a crash.
"""

from __future__ import annotations

import json
import logging
import ssl
import threading
from collections import deque
from typing import NamedTuple
from urllib.parse import parse_qsl

import trustme
from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.serving import WSGIRequestHandler, make_server
from werkzeug.wrappers import Request, Response

from tidewall.sandbox.controller.api import ControllerApi
from tidewall.sandbox.controller.backend import ControllerBackend

logger = logging.getLogger("tidewall.sandbox.controller")

API_PATHS = ("/v1/api", "/v2/api")
MASK = "********"
# Form fields whose values are never kept in the request record.
SECRET_FIELDS = ("password",)
MAX_BODY = 1 << 20  # bytes of a request body
MAX_RECORDED = 10_000  # requests kept in the record (the oldest are dropped)
MAX_RECORDED_BYTES = 16 << 20  # and at most this many bytes of them (the oldest are dropped)
READ_TIMEOUT = 30.0  # seconds a connection may stay silent (handshake, headers, body)


class RecordedRequest(NamedTuple):
    method: str
    path: str
    query: list  # [(key, value)] in wire order
    form: list  # [(key, value)] in wire order; passwords masked

    @property
    def fields(self) -> dict:
        """Query and form fields merged (form wins), as the controller read them."""
        return dict(self.query) | dict(self.form)

    @property
    def action(self):
        return self.fields.get("action")


class _Handler(WSGIRequestHandler):
    """One connection: silent clients time out; the TLS handshake happens here, not in the accept loop.
    Request lines stay out of the log: GET query strings carry the CID."""

    timeout = READ_TIMEOUT

    def setup(self):
        super().setup()
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.do_handshake()

    def log_request(self, code="-", size="-"):
        pass

    def log_error(self, format, *args):  # noqa: A002 - the base class's name
        logger.debug("controller: " + format, *args)


def _serve_tls_lazily(server, context):
    """Wrap the listening socket so that accepted connections do their TLS handshake in their own thread."""
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)

    def handle_error(request, client_address):
        logger.debug("controller: connection from %s ended with an error", client_address[0], exc_info=True)

    server.handle_error = handle_error


def _masked(pairs):
    return [(k, MASK if k in SECRET_FIELDS else v) for k, v in pairs]


class SimulatedController:
    """The simulated controller: `ControllerBackend` (state and rules) behind `ControllerApi` (actions),
    served over HTTPS."""

    def __init__(self, users=None, cloud=None, port=0, *, clock=None, durations=None):
        self.backend = ControllerBackend(users=users, cloud=cloud, clock=clock, durations=durations)
        self.api = ControllerApi(self.backend)
        self._port = port
        self._server = None
        self._thread = None
        self._requests = deque(maxlen=MAX_RECORDED)
        self._recorded_bytes = 0
        self._requests_lock = threading.Lock()
        self.chaos = None  # a Chaos while faults are injected
        self.ca = None
        self.address = None

    # ----------------------------------------------------------------------------------- lifecycle

    def start(self):
        if self._server is not None:
            return self
        self.ca = trustme.CA()
        cert = self.ca.issue_cert("127.0.0.1", "localhost")
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cert.configure_cert(context)
        self._server = make_server(
            "127.0.0.1", self._port, self._wsgi, threaded=True, request_handler=_Handler
        )
        _serve_tls_lazily(self._server, context)
        self._server.ssl_context = context  # the WSGI environment says https
        self.address = f"127.0.0.1:{self._server.server_port}"
        self._thread = threading.Thread(target=self._server.serve_forever, name="controller", daemon=True)
        self._thread.start()
        logger.info("Controller listening on https://%s", self.address)
        return self

    def stop(self):
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = None
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def url(self):
        return f"https://{self.address}/v2/api"

    # --------------------------------------------------------------------- the backend, for callers

    @property
    def users(self):
        return self.backend.users

    @property
    def cloud(self):
        return self.backend.cloud

    @cloud.setter
    def cloud(self, cloud):
        self.backend.cloud = cloud

    @property
    def gateways(self):
        return self.backend.gateways

    @property
    def accounts(self):
        return self.backend.accounts

    def reset(self):
        """Forget gateways, accounts, CIDs, recorded requests and queued failures; users stay."""
        self.backend.clear()
        self.api.clear_failures()
        self.clear_requests()

    def issue_cid(self, username):
        return self.backend.issue_cid(username)

    def expire_cids(self):
        """Every CID handed out so far stops being valid (a session time-out)."""
        self.backend.expire_cids()

    def add_account(self, name, number="123456789012", cloud_type=1):
        return self.backend.add_account(name, number, cloud_type)

    def add_gateway(
        self,
        name,
        *,
        subnet_cidr,
        vpc_id=None,
        primary=None,
        account_name="aws-account",
        region="us-east-1",
        size="t3.small",
        eip=None,
        tags=None,
        snat=False,
        classic=False,
    ):
        """Seed a gateway as if it had been created through the API (cloud hook included, no waiting).

        A primary needs ``vpc_id``; an HA gateway names its ``primary`` and inherits VPC, account and region.
        Raises ValueError when the controller would refuse the creation.
        """
        from tidewall.sandbox.controller.backend import Refused

        try:
            if primary is None and account_name not in self.backend.accounts:
                self.backend.add_account(account_name)
            return self.backend.create(
                name,
                primary=primary,
                vpc_id=vpc_id,
                account_name=account_name,
                region=region,
                subnet_cidr=subnet_cidr,
                size=size,
                eip=eip,
                tags=tags,
                classic=classic,
                snat=snat,
                takes_time=False,
            )
        except Refused as exc:
            raise ValueError(exc.reason) from None

    def fail_next(self, action, reason):
        self.api.fail_next(action, reason)

    def handle(self, params):
        """Answer one API request given as a field mapping (also usable without HTTP)."""
        return self.api.handle(params)

    @property
    def requests(self):
        with self._requests_lock:
            return list(self._requests)

    def clear_requests(self):
        with self._requests_lock:
            self._requests.clear()
            self._recorded_bytes = 0

    # ---------------------------------------------------------------------------------------- WSGI

    def _wsgi(self, environ, start_response):
        try:
            response = self._respond(environ)
        except Exception:  # a request this server could not even read: answer, and keep serving
            logger.debug("controller: malformed request", exc_info=True)
            response = Response("bad request\n", status=400, mimetype="text/plain")
        return response(environ, start_response)

    def _respond(self, environ):
        request = Request(environ)
        request.max_content_length = MAX_BODY
        query = parse_qsl(request.query_string.decode("latin-1"), keep_blank_values=True)
        form = []
        content_type = (request.mimetype or "").lower()
        try:
            body = request.get_data(cache=False)
        except RequestEntityTooLarge:
            self._record(request.method, request.path, query, [])
            return _json({"return": False, "reason": f"Request body larger than {MAX_BODY} bytes"}, 413)
        if body and content_type in ("", "application/x-www-form-urlencoded"):
            form = parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)
        self._record(request.method, request.path, query, form)

        if request.path not in API_PATHS:
            return Response("not found\n", status=404, mimetype="text/plain")
        if request.method not in ("GET", "POST"):
            return Response("method not allowed\n", status=405, mimetype="text/plain")

        params = dict(query) | dict(form)
        fault = self.chaos.controller_fault(params.get("action") or "") if self.chaos is not None else None
        if fault == "expire":
            self.backend.expire_cids()
        elif fault == "timeout-before":
            self.backend.clock.sleep(self.backend.durations.controller_timeout)
            return _gateway_timeout()
        status = 200
        try:
            reply = self.api.handle(params)
        except Exception as exc:  # a bug here or in a cloud hook: answer, and keep serving
            logger.exception("controller: request %s failed", params.get("action"))
            reply = {"return": False, "reason": f"Internal error: {exc.__class__.__name__}: {exc}"}
            status = 500
        if fault == "timeout-after":
            self.backend.clock.sleep(self.backend.durations.controller_timeout)
            return _gateway_timeout()
        return _json(reply, status)

    def _record(self, method, path, query, form):
        request = RecordedRequest(method, path, _masked(query), _masked(form))
        with self._requests_lock:
            if len(self._requests) == self._requests.maxlen:
                self._recorded_bytes -= _size(self._requests[0])
            self._requests.append(request)
            self._recorded_bytes += _size(request)
            while self._recorded_bytes > MAX_RECORDED_BYTES and len(self._requests) > 1:
                self._recorded_bytes -= _size(self._requests.popleft())


def _size(request):
    """Bytes a recorded request holds (its texts)."""
    return (
        len(request.method)
        + len(request.path)
        + sum(len(k) + len(v) for k, v in request.query + request.form)
    )


def _json(reply, status=200):
    return Response(json.dumps(reply), status=status, mimetype="application/json")


def _gateway_timeout():
    body = "<html><head><title>504 Gateway Time-out</title></head><body><h1>504 Gateway Time-out</h1></body></html>\n"
    return Response(body, status=504, mimetype="text/html")


def main(argv=None):
    import argparse
    import os
    import signal

    parser = argparse.ArgumentParser(description="Run a simulated network controller on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free port)")
    parser.add_argument("--user", default="admin", help="controller user name")
    parser.add_argument("--password-env", required=True, help="environment variable holding the password")
    parser.add_argument(
        "--account",
        action="append",
        default=[],
        metavar="NAME[:NUMBER]",
        help="access account to create at start (repeatable)",
    )
    args = parser.parse_args(argv)
    password = os.environ.get(args.password_env)
    if not password:
        parser.error(f"environment variable {args.password_env} is not set")

    ctl = SimulatedController(users={args.user: password}, port=args.port)
    for entry in args.account:
        name, _, number = entry.partition(":")
        ctl.add_account(name, number or "123456789012")
    ctl.start()
    print(ctl.address, flush=True)

    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    ctl.stop()
    return 0
