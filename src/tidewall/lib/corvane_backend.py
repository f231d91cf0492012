"""Access to the network controller's REST API: login, request sending and reply checking, logout.

Controller requests switch TLS certificate verification off (controllers run with self-signed
certificates), so urllib3's warning about it is silenced here once.

The session id (CID) travels in the query string of some GET requests, and the error of a request that
fails names its URL. So the password and every CID handed out are registered as secrets (never shown),
and a failed request is re-raised with the query string cut off its URL, here and in the spoke module
(`guard_requests`). A run ends its controller session with `endSession` when the controller offers it.
"""

import logging
import sys

import requests
import urllib3

from tidewall.core import redact
from tidewall.core.exceptions import TidewallError

urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)

logger = logging.getLogger("tidewall.lib.corvane_backend")

# Time allowed to open the connection at login; the reply itself may take as long as it needs.
LOGIN_CONNECT_TIMEOUT = 30


class ControllerLoginError(TidewallError):
    """The controller login did not produce a CID."""


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


class _GuardedRequests:
    """Stands in for the `requests` module: the same calls, but a request that fails raises an error whose
    text names its URL without the query string (where a GET carries the CID)."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)

    def _call(self, method, *args, **kwargs):
        try:
            return getattr(self._module, method)(*args, **kwargs)
        except requests.RequestException as e:
            raise _without_query(e) from None

    def get(self, *args, **kwargs):
        return self._call("get", *args, **kwargs)

    def post(self, *args, **kwargs):
        return self._call("post", *args, **kwargs)

    def request(self, *args, **kwargs):
        return self._call("request", *args, **kwargs)


def guard_requests(module):
    """Make `module` (one that sends its requests through its attribute `requests`, such as the spoke
    module) raise request errors without query strings. Idempotent."""
    current = getattr(module, "requests", None)
    if current is requests:
        module.requests = _GuardedRequests(requests)
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
        response = requests.post(url, data=form, verify=False, timeout=(LOGIN_CONNECT_TIMEOUT, None))
    except requests.RequestException as exc:
        reason = _scrub(f"{exc.__class__.__name__}: {exc}", password)
        raise ControllerLoginError(f"Cannot reach controller {controller_ip}: {reason}") from None
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
    return version, cid


def _failure_reason(response):
    if isinstance(response, dict):
        for key in ("reason", "results"):
            if response.get(key) not in (None, ""):
                return response[key]
    return response


def handleControllerApiFailure(response):
    """True when the controller reply reports success; otherwise logs the reason and returns False."""
    if isinstance(response, dict) and response.get("return") is True:
        return True
    logger.error("Controller API failure: %s", _failure_reason(response))
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
    try:
        if method == "GET":
            return requests.get(api_endpoint_url, params=payload, verify=False)
        if method == "POST":
            return requests.post(api_endpoint_url, data=payload, verify=False)
    except requests.RequestException as e:
        raise _without_query(e) from None
    raise ValueError(f"Unsupported controller request method {request_method!r}")


# Time allowed to end a session: a controller that does not answer at once is not waited for long.
LOGOUT_TIMEOUT = 15


def endSession(controller_ip, cid):
    """End the controller session `cid` when the controller offers it. Returns True when it was ended;
    never raises (a session that cannot be ended times out on the controller)."""
    if not cid or not controller_ip:
        return False
    url = "https://" + str(controller_ip) + "/v2/api"
    try:
        response = requests.post(
            url, data={"action": "logout", "CID": cid}, verify=False, timeout=(LOGOUT_TIMEOUT, LOGOUT_TIMEOUT)
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
