"""Access to the network controller's REST API: login, request sending and reply checking, logout.

Controller requests switch TLS certificate verification off (controllers run with self-signed
certificates), so urllib3's warning about it is silenced here once.

The session id (CID) travels in the query string of some GET requests, and the error of a request that
fails names its URL. So the password and every CID handed out are registered as secrets (never shown),
and a failed request is re-raised with the query string cut off its URL, here and in the spoke module
(`guard_requests`). A run ends its controller session with `endSession` when the controller offers it.

The login of a run is kept for the run: every request goes through `controller_http`, which logs in again
and sends the request once more when the controller says the session (CID) has expired, and tries a
read-only request again when the controller (or a proxy in front of it) answers a server error without a
JSON reply. A change answered that way stops the run with one line: whether it was made is not known, and
the next run resumes from the journal.

A request still unanswered after `controller.progress_every` seconds logs "waiting for the controller:
<action> <gateway>, <seconds> s" at that interval, from a thread of its own while the request waits; with
`controller.read_timeout` a request that gets no answer that long stops the run with one line (whether a
change was made is not known; the next run resumes from the journal). Every request goes out with one TLS
context made once for the process (certificates are not checked, so no CA store is loaded for it), on a
fresh connection as before.

Every request (login, logout included) is sent while holding a controller slot (`controller_slots`): when
`tidewall fleet` runs several VPCs against one controller, that caps the requests in flight across all of
them; otherwise it does nothing.
"""

import logging
import re
import ssl
import sys
import threading
import time
from collections.abc import Mapping

import requests
import urllib3
from requests.adapters import HTTPAdapter

from tidewall.core import redact
from tidewall.core.exceptions import EXIT_FAILED, AccessError, TidewallError, network_reason
from tidewall.core.Globals import Globals
from tidewall.lib.controller_slots import controller_slot

urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)
_REQUESTS = requests  # the HTTP client itself (tests put a stand-in in the place of `requests`)

logger = logging.getLogger("tidewall.lib.corvane_backend")

# Time allowed to open the connection at login; the reply itself may take as long as it needs.
LOGIN_CONNECT_TIMEOUT = 30


# Actions that only read: sent again when the answer was a server error without a JSON reply.
READ_ONLY_ACTIONS = frozenset(
    {"list_accounts", "list_vpcs_summary", "get_gateway_info", "list_primary_and_ha_spoke_gateways"}
)
READ_ATTEMPTS = 4


class ControllerLoginError(AccessError):
    """The controller login did not produce a CID. The run's first login comes before any change: an
    access problem (exit status 2); a login again after the session expired is a failure of the run."""

    exit_code = EXIT_FAILED

    def __init__(self, message):
        super().__init__(message)
        self.before_changes = not Globals.CID  # no session yet: the run has not started changing


class ControllerError(TidewallError):
    """The controller did not answer a request in a way the run can go on from."""


class _Login:
    """Who logged in last in this process, kept in memory only, to log in again when the session expires."""

    controller_ip = None
    user = None
    password = None


def _scrub(text, secret):
    """Text with every occurrence of the secret replaced, for error messages."""
    text = str(text)
    if secret:
        text = text.replace(secret, "********")
    return redact.redact(redact.strip_query(text))


def _without_query(error):
    """A request error like `error` whose text names URLs without their query strings."""
    text = redact.redact(redact.strip_query(str(error)))
    try:
        clean = type(error)(text)
    except Exception:  # an error type that is built otherwise
        clean = requests.RequestException(text)
    return clean


def guard_requests(module):
    """Make `module` (one that sends its requests through its attribute `requests`, such as the spoke
    module) send them through `controller_http`: the run's session kept alive, and request errors raised
    without query strings. Idempotent."""
    if getattr(module, "requests", None) is requests:
        module.requests = controller_http
    return module


def _short(cid):
    """A CID shortened for logging."""
    if not cid:
        return repr(cid)
    return str(cid)[:4] + "..."


def getCid(controller_ip, controller_user, password):
    """Log in to the controller; returns the pair (version, CID)."""
    if password is None:
        raise ControllerLoginError(
            f"Cannot log in to controller {controller_ip} as {controller_user}: no password given"
        )
    redact.add_secret(password)
    url = "https://" + str(controller_ip) + "/v2/api"
    logger.info("Logging in to controller %s as %s", controller_ip, controller_user)
    form = {"action": "login", "username": controller_user, "password": password}
    try:
        with controller_slot():
            response = _client().post(url, data=form, verify=False, timeout=(LOGIN_CONNECT_TIMEOUT, None))
    except requests.RequestException as exc:
        # The HTTP library's own text (connection pools, sockets) is for -v and the log file.
        logger.debug(
            "Login request to %s failed: %s",
            controller_ip,
            _scrub(f"{exc.__class__.__name__}: {exc}", password),
        )
        raise ControllerLoginError(
            f"Cannot reach controller {controller_ip}: {network_reason(exc)}"
        ) from None
    try:
        reply = response.json()
    except ValueError:
        raise ControllerLoginError(
            f"Controller {controller_ip} answered the login with a reply that is not JSON "
            f"(HTTP {response.status_code})"
        ) from None
    if not isinstance(reply, dict) or reply.get("return") is not True:
        reason = reply.get("reason") if isinstance(reply, dict) else None
        raise ControllerLoginError(
            f"Controller {controller_ip} refused the login of {controller_user}: "
            + _scrub(reason or reply, password)
        )
    cid = reply.get("CID")
    if not cid:
        raise ControllerLoginError(f"Controller {controller_ip} accepted the login but sent no CID")
    redact.add_secret(str(cid))
    version = reply.get("version")
    logger.info("Logged in to controller %s (version %s)", controller_ip, version)
    _Login.controller_ip, _Login.user, _Login.password = controller_ip, controller_user, password
    _use_controller_http()
    return version, cid


# A refusal that only means "not now": a change of that gateway is still under way on the controller (for
# instance the create of a run that was interrupted while it waited for the answer goes on without it).
_GATEWAY_BUSY = re.compile(
    r"\bgateway \S+ is (?:busy\b|being (?:created|deleted|resized|updated)\b)", re.IGNORECASE
)


def gateway_busy(reply):
    """The controller's reason when a reply refuses a request because the gateway is busy; else None."""
    if not isinstance(reply, Mapping) or reply.get("return") is not False:
        return None
    reason = str(reply.get("reason") or "")
    return reason if _GATEWAY_BUSY.search(reason) else None


def session_expired(reply):
    """Whether a controller reply refuses a request because its CID is no longer valid."""
    if not isinstance(reply, Mapping) or reply.get("return") is not False:
        return False
    reason = str(reply.get("reason") or "").lower()
    return "cid" in reason and ("invalid" in reason or "expired" in reason)


def _failure_reason(response):
    if isinstance(response, dict):
        for key in ("reason", "results"):
            if response.get(key) not in (None, ""):
                return response[key]
    return response


# A refusal that names a gateway the controller does not have.
_GATEWAY_GONE = re.compile(r"\bgateway \S+ does not exist\b", re.IGNORECASE)


def _nothing_left_to_undo(reason):
    """Whether a refusal only says that the step being undone is undone already: while a memento is
    restored (a revert or rollback, resumed after a run that stopped mid-way), its gateway is gone."""
    history = sys.modules.get("tidewall.commands.history")
    if history is None or not _GATEWAY_GONE.search(str(reason)):
        return False
    return bool(history.MementoHistory.restoring())


def handleControllerApiFailure(response):
    """True when the controller reply reports success; otherwise logs the reason and returns False."""
    if isinstance(response, dict) and response.get("return") is True:
        return True
    reason = _failure_reason(response)
    if _nothing_left_to_undo(reason):
        logger.info("  Nothing left to undo on the controller: %s", reason)
        return False
    logger.error("Controller API failure: %s", reason)
    return False


def handleControllerApiFailureAndExit(response):
    """Returns only when the controller reply reports success; a failure is logged and ends the run."""
    if not handleControllerApiFailure(response):
        sys.exit(1)
    return True


def _action_of(payload):
    if isinstance(payload, dict):
        return payload.get("action")
    for key, value in payload or ():
        if key == "action":
            return value
    return None


def _send_corvane_api(api_endpoint_url, request_method="POST", payload=None, keyword_for_log="", indent=""):
    """Send one controller request (GET: fields as query parameters, POST: form body).

    Returns the HTTP response unchanged; the caller decodes it.
    """
    method = str(request_method).upper()
    logger.debug("%s%s%s %s %s", indent, keyword_for_log, _action_of(payload), method, api_endpoint_url)
    if method == "GET":
        return controller_http.get(api_endpoint_url, params=payload, verify=False)
    if method == "POST":
        return controller_http.post(api_endpoint_url, data=payload, verify=False)
    raise ValueError(f"Unsupported controller request method {request_method!r}")


# ---------------------------------------------------------------------------- sending and watching


class _OneContextAdapter(HTTPAdapter):
    """requests' adapter with every unverified HTTPS connection made from one TLS context."""

    def build_connection_pool_key_attributes(self, request, verify, cert=None):
        host_params, pool_kwargs = super().build_connection_pool_key_attributes(request, verify, cert)
        if verify is False:
            pool_kwargs["ssl_context"] = _tls_context()
        return host_params, pool_kwargs


_tls = {}
_tls_lock = threading.Lock()


def _tls_context():
    """The process's TLS context for controller connections: no certificate check, so no CA store."""
    with _tls_lock:
        if "context" not in _tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            _tls["context"] = context
        return _tls["context"]


class _Client:
    """`get` and `post` as requests' own, through a session whose adapter uses the one TLS context. The
    connection is closed after each request as with requests' functions, so that no change is ever sent
    on a connection the controller may have dropped meanwhile."""

    def __init__(self):
        self._local = threading.local()

    def _session(self):
        session = getattr(self._local, "session", None)
        if session is None:
            session = _REQUESTS.Session()
            adapter = _OneContextAdapter()
            session.mount("https://", adapter)
            session.mount("http://", adapter)
            self._local.session = session
        return session

    def request(self, method, url, **kwargs):
        session = self._session()
        try:
            return session.request(method, url, **kwargs)
        finally:
            session.close()

    def get(self, url, params=None, **kwargs):
        return self.request("GET", url, params=params, **kwargs)

    def post(self, url, data=None, **kwargs):
        return self.request("POST", url, data=data, **kwargs)


_shared_client = _Client()


def _client():
    """What sends controller requests: the shared client, or the stand-in put in the place of `requests`."""
    return _shared_client if requests is _REQUESTS else requests


def _controller_settings():
    from tidewall.core.ConfigAdaptor import CONTROLLER_DEFAULTS

    settings = dict(CONTROLLER_DEFAULTS)
    settings.update({k: v for k, v in (Globals.controller or {}).items() if k in settings and v is not None})
    return settings


def _gateway_of(payload):
    fields = dict(payload) if isinstance(payload, Mapping | list | tuple) else {}
    for key in ("gw_name", "ha_gw_name"):
        if fields.get(key):
            return fields[key]
    primary = fields.get("primary_gw_name")
    if primary and fields.get("action") == "create_multicloud_ha_gateway":
        return f"{primary}-hagw"  # the name the controller gives an HA gateway it names itself
    return primary or None


def _wait_for(event, seconds):
    """Wait until `event` is set, at most `seconds`; whether it is set."""
    return event.wait(seconds)


def _report_progress(what, every, scale, answered):
    """Log a line every `every` seconds (unscaled) until `answered` is set."""
    started = time.monotonic()
    lines = 0
    while True:
        lines += 1
        left = max(started + lines * every * scale - time.monotonic(), 0.0)
        if _wait_for(answered, left):
            return
        elapsed = (time.monotonic() - started) / scale
        logger.info("waiting for the controller: %s, %.0f s", what, elapsed)


def _send_watched(method, url, action, kwargs):
    """Send one request as given, with a progress line at each `controller.progress_every` while it is
    unanswered and, with `controller.read_timeout`, a limit on how long the answer may take."""
    from tidewall.lib.waits import WaitSettings

    settings = _controller_settings()
    scale = WaitSettings.of().time_scale
    send_kwargs = kwargs
    if settings["read_timeout"] is not None and kwargs.get("timeout") is None:
        send_kwargs = dict(kwargs, timeout=(None, settings["read_timeout"] * scale))
    gateway = _gateway_of(kwargs.get(_payload_key(kwargs)))
    what = f"{action} {gateway}" if gateway else str(action)
    answered = threading.Event()
    watcher = threading.Thread(
        target=_report_progress,
        args=(what, settings["progress_every"], scale, answered),
        name="tidewall-controller-progress",
        daemon=True,
    )
    watcher.start()
    try:
        return getattr(_client(), method)(url, **send_kwargs)
    except _REQUESTS.ReadTimeout:
        if send_kwargs is kwargs:
            raise
        where = f"Controller {_Login.controller_ip or ''} did not answer {what} within {settings['read_timeout']:.0f} s"
        if action in READ_ONLY_ACTIONS:
            raise ControllerError(f"{where} (controller.read_timeout); try again later") from None
        raise ControllerError(
            f"{where} (controller.read_timeout): the change may or may not have been made; run the command "
            "again to resume"
        ) from None
    finally:
        answered.set()
        watcher.join()


# ------------------------------------------------------------------------------------ the run's session


def _with_cid(payload, cid):
    """The payload (mapping or (key, value) pairs) with its CID field set to `cid`; None without one."""
    if isinstance(payload, Mapping):
        return dict(payload, CID=cid) if "CID" in payload else None
    if isinstance(payload, list | tuple) and all(isinstance(p, tuple) and len(p) == 2 for p in payload):
        if not any(k == "CID" for k, _ in payload):
            return None
        return [(k, cid if k == "CID" else v) for k, v in payload]
    return None


def _json_or_none(response):
    try:
        return response.json()
    except ValueError:
        return None


def _pause(attempt):
    from tidewall.lib.waits import WaitSettings

    settings = WaitSettings.of()
    time.sleep(min(settings.poll_interval * 2**attempt, settings.max_poll_interval) * settings.time_scale)


def _payload_key(kwargs):
    """Where a request's fields are: the query ("params") or the form body ("data")."""
    return "params" if kwargs.get("params") is not None else "data"


class ControllerHttp:
    """requests' `get` and `post` for controller requests, keeping the run's session alive.

    - A reply saying the CID is invalid or expired: log in again with this run's login, publish the new CID
      in `Globals.CID` and send the request once more with it.
    - A server error (HTTP 5xx) without a JSON reply, or no connection: a read-only action is sent again
      (a few times, with growing pauses). A change answered with such an error stops the run with
      ControllerError, since whether the controller made it is not known; a change that could not be sent
      raises requests' own error.
    """

    def __getattr__(self, name):  # anything else of the requests module (its exceptions, ...)
        return getattr(requests, name)

    def get(self, url, params=None, **kwargs):
        return self._send("get", url, params=params, **kwargs)

    def post(self, url, data=None, **kwargs):
        return self._send("post", url, data=data, **kwargs)

    def _send(self, method, url, **kwargs):
        try:
            response, reply = self._send_once_renewed(method, url, **kwargs)
            busy = gateway_busy(reply)
            if busy is None:
                return response
            return self._send_when_not_busy(busy, method, url, kwargs)
        except requests.RequestException as e:
            raise _without_query(e) from None

    def _send_when_not_busy(self, busy, method, url, kwargs):
        from tidewall.lib.waits import wait_until

        action = _action_of(kwargs.get(_payload_key(kwargs)))
        logger.warning("  Controller: %s; sending %s again when it is done", busy, action)
        refused = True  # the refusal in hand: pause before asking again

        def look():
            nonlocal refused
            if refused:
                refused = False
                return False, busy
            response, reply = self._send_once_renewed(method, url, **kwargs)
            reason = gateway_busy(reply)
            return (True, response) if reason is None else (False, reason)

        return wait_until(f"the controller to take {action}", look)

    def _send_once_renewed(self, method, url, **kwargs):
        payload_key = _payload_key(kwargs)
        action = _action_of(kwargs.get(payload_key))
        attempt = 0
        renewed = False
        while True:
            try:
                with controller_slot():
                    response = _send_watched(method, url, action, kwargs)
            except requests.ConnectionError:
                if action not in READ_ONLY_ACTIONS or attempt + 1 >= READ_ATTEMPTS:
                    raise
                _pause(attempt)
                attempt += 1
                continue
            reply = _json_or_none(response)
            if reply is None and response.status_code >= 500:
                if action in READ_ONLY_ACTIONS and attempt + 1 < READ_ATTEMPTS:
                    logger.warning(
                        "  Controller answered %s with HTTP %d; asking again", action, response.status_code
                    )
                    _pause(attempt)
                    attempt += 1
                    continue
                where = f"Controller {_Login.controller_ip or ''} answered {action} with HTTP {response.status_code}"
                if action in READ_ONLY_ACTIONS:
                    raise ControllerError(f"{where} and no result, {READ_ATTEMPTS} times; try again later")
                raise ControllerError(
                    f"{where} and no result: the change may or may not have been made; run the command again "
                    "to resume"
                )
            if not renewed and session_expired(reply) and _Login.password is not None:
                renewed_payload = self._renew(kwargs.get(payload_key))
                if renewed_payload is not None:
                    kwargs[payload_key] = renewed_payload
                    renewed = True
                    continue
            return response, reply

    @staticmethod
    def _renew(payload):
        """Log in again; the payload with the new CID (None when it carries no CID)."""
        logger.warning("  Controller session expired; logging in to %s again", _Login.controller_ip)
        _version, cid = getCid(_Login.controller_ip, _Login.user, _Login.password)
        Globals.CID = cid
        return _with_cid(payload, cid)


controller_http = ControllerHttp()


def _use_controller_http():
    """The spoke module sends through `controller_http` (it looks `requests` up in its own namespace)."""
    spoke = sys.modules.get("tidewall.lib.spoke")
    if spoke is not None:
        guard_requests(spoke)


# Time allowed to end a session: a controller that does not answer at once is not waited for long.
LOGOUT_TIMEOUT = 15


def endSession(controller_ip, cid):
    """End the controller session `cid` when the controller offers it. Returns True when it was ended;
    never raises (a session that cannot be ended times out on the controller)."""
    if not cid or not controller_ip:
        return False
    url = "https://" + str(controller_ip) + "/v2/api"
    try:
        with controller_slot():
            response = _client().post(
                url,
                data={"action": "logout", "CID": cid},
                verify=False,
                timeout=(LOGOUT_TIMEOUT, LOGOUT_TIMEOUT),
            )
        reply = response.json()
    except (requests.RequestException, ValueError) as e:
        logger.debug("Controller session not ended: %s", _without_query(e))
        return False
    if isinstance(reply, dict) and reply.get("return") is True:
        logger.debug("Controller session ended")
        return True
    reason = reply.get("reason") if isinstance(reply, dict) else reply
    logger.debug("Controller session not ended (the controller answered: %s)", reason)
    return False
