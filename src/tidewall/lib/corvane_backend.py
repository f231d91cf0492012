"""Access to the network controller's REST API: login, request sending and reply checking.

Controller requests switch TLS certificate verification off (controllers run with self-signed
certificates), so urllib3's warning about it is silenced here once.
"""

import logging
import sys

import requests
import urllib3

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
    return text


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
    if method == "GET":
        return requests.get(api_endpoint_url, params=payload, verify=False)
    if method == "POST":
        return requests.post(api_endpoint_url, data=payload, verify=False)
    raise ValueError(f"Unsupported controller request method {request_method!r}")
