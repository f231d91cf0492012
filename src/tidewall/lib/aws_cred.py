"""AWS sessions and clients for one run, built from the configuration."""

import os
import time
from urllib.parse import urlsplit

import boto3
from botocore.config import Config
from botocore.exceptions import ProfileNotFound
from botocore.retries import adaptive, bucket, quota, standard, throttling

from tidewall.core.ConfigAdaptor import DEFAULT_MAX_ATTEMPTS, DEFAULT_RETRY_MODE, ConfigAdaptor, ConfigError

# botocore's retry modes, as the environment and a profile may name them.
_BOTOCORE_RETRY_MODES = ("legacy", "standard", "adaptive")


class AwsClientManager:
    """Hands out one cached boto3 client per service, in the configured region and endpoint.

    Credentials come from `aws.profile`, else from explicit `aws.access_key_id`/`aws.secret_access_key`
    (and `aws.session_token`), else from boto3's default chain.

    Retries and endpoints follow botocore's order: a value written in the tool's configuration wins;
    otherwise the environment (`AWS_RETRY_MODE`, `AWS_MAX_ATTEMPTS`, `AWS_ENDPOINT_URL_<SERVICE>`,
    `AWS_ENDPOINT_URL`), then the profile; then the tool's defaults (adaptive retries, 10 attempts, AWS's
    own endpoints). A service's endpoint is `aws.endpoint_urls.<service>`, else `aws.endpoint_url` (every
    service).
    """

    def __init__(self, config):
        self.config = ConfigAdaptor(config)
        aws = self.config.aws or {}
        self.region = self.config.region
        self.endpoint_url = aws.get("endpoint_url")
        self.endpoint_urls = aws.get("endpoint_urls") or {}
        if aws.get("profile"):
            try:
                self.session = boto3.Session(profile_name=aws["profile"], region_name=self.region)
            except ProfileNotFound as e:
                raise ConfigError(f"configuration field 'aws.profile': {e}", "aws.profile") from None
        elif aws.get("access_key_id"):
            self.session = boto3.Session(
                aws_access_key_id=aws["access_key_id"],
                aws_secret_access_key=aws["secret_access_key"],
                aws_session_token=aws.get("session_token"),
                region_name=self.region,
            )
        else:
            self.session = boto3.Session(region_name=self.region)
        self._clients = {}

    def _given(self, key):
        """`aws.<key>` when the configuration itself sets it (not filled in from a default); else None."""
        raw = getattr(self.config, "raw", None) or {}
        given = (raw.get("aws") or {}).get(key)
        return (self.config.aws or {}).get(key) if given is not None else None

    def _outside(self, key, env):
        """`key` as the environment variable `env`, else the profile, sets it; with where it was found."""
        value = os.environ.get(env)
        if value not in (None, ""):
            return value, f"environment variable {env}"
        try:
            value = self.session._session.get_scoped_config().get(key)
        except ProfileNotFound:
            value = None
        if value not in (None, ""):
            return value, f"'{key}' of the AWS profile"
        return None, None

    @property
    def retry_mode(self):
        mode = self._given("retry_mode")
        if mode is not None:
            return mode
        mode, where = self._outside("retry_mode", "AWS_RETRY_MODE")
        if mode is None:
            return DEFAULT_RETRY_MODE
        if mode not in _BOTOCORE_RETRY_MODES:
            raise ConfigError(
                f"{where}: expected one of {', '.join(_BOTOCORE_RETRY_MODES)}, got {mode!r}", "aws.retry_mode"
            )
        return mode

    @property
    def max_attempts(self):
        attempts = self._given("max_attempts")
        if attempts is not None:
            return attempts
        attempts, where = self._outside("max_attempts", "AWS_MAX_ATTEMPTS")
        if attempts is None:
            return DEFAULT_MAX_ATTEMPTS
        try:
            attempts = int(str(attempts).strip())
        except ValueError:
            attempts = 0
        if not 1 <= attempts <= 50:
            raise ConfigError(f"{where}: expected a whole number from 1 to 50", "aws.max_attempts")
        return attempts

    def endpoint_for(self, service):
        """The endpoint the configuration sets for `service`, or None (botocore then looks at the
        environment and the profile, else uses AWS's own)."""
        return self.endpoint_urls.get(service) or self.endpoint_url

    @property
    def time_scale(self):
        waits = getattr(self.config, "waits", None) or {}
        return float(waits.get("time_scale") or 1.0)

    def client_config(self, service, path_style=None):
        """botocore's settings for one service: the retry mode and attempt count (throttling and 5xx
        answers are retried with backoff; "adaptive" also slows the client down while AWS throttles it).
        S3 is addressed by path on an endpoint that is not AWS's (`path_style`; None: when the
        configuration sets one)."""
        mode = self.retry_mode
        if self.time_scale != 1.0:
            mode = "standard"  # the handlers are put on the scaled clock once the client exists
        config = Config(retries={"mode": mode, "total_max_attempts": self.max_attempts})
        if path_style is None:
            path_style = bool(self.endpoint_for(service))
        if path_style and service == "s3":
            # A local endpoint has no per-bucket host names.
            config = config.merge(Config(s3={"addressing_style": "path"}))
        return config

    def _new_client(self, service, path_style=None):
        kwargs = {"region_name": self.region, "config": self.client_config(service, path_style)}
        endpoint = self.endpoint_for(service)
        if endpoint:
            kwargs["endpoint_url"] = endpoint
        return self.session.client(service, **kwargs)

    def getClient(self, service):
        client = self._clients.get(service)
        if client is None:
            client = self._new_client(service)
            if service == "s3" and not self.endpoint_for(service) and not _aws_host(client.meta.endpoint_url):
                # An endpoint of the environment or the profile (an S3-compatible store).
                client = self._new_client(service, path_style=True)
            if self.time_scale != 1.0:
                retries_on_clock(client, self.retry_mode, self.max_attempts, self.time_scale)
            self._clients[service] = client
        return client

    def getEc2Client(self):
        return self.getClient("ec2")

    def getCwClient(self):
        return self.getClient("cloudwatch")

    def getS3Client(self):
        return self.getClient("s3")


def _aws_host(url):
    host = (urlsplit(url or "").hostname or "").lower()
    return host.endswith((".amazonaws.com", ".amazonaws.com.cn", ".api.aws"))


# ------------------------------------------------------------------------- retries on a scaled clock


class _ScaledClock(bucket.Clock):
    """The clock of a cloud whose time runs `1/scale` times faster than the wall clock."""

    def __init__(self, scale):
        self.scale = scale
        self._started = time.time()

    def sleep(self, amount):
        time.sleep(amount * self.scale)

    def current_time(self):
        return self._started + (time.time() - self._started) / self.scale


class _ScaledTokenBucket(bucket.TokenBucket):
    def __init__(self, max_rate, clock):
        super().__init__(max_rate=max_rate, clock=clock)
        self._scale = clock.scale

    def _sleep_amount(self, amount):
        return super()._sleep_amount(amount) * self._scale


class _ScaledBackoff(standard.ExponentialBackoff):
    def __init__(self, scale, **kwargs):
        super().__init__(**kwargs)
        self._scale = scale

    def delay_amount(self, context):
        return super().delay_amount(context) * self._scale


def retries_on_clock(client, mode, max_attempts, scale):
    """botocore's retry handlers of `mode` ("standard" or "adaptive") for a client made with mode "standard",
    with every pause (the backoff between attempts, the adaptive mode's send-rate limit) on a clock scaled
    by `scale`, like the tool's own waits: a simulated cloud whose clock runs faster is retried as fast."""
    service = client.meta.service_model.service_id.hyphenize()
    events = client.meta.events
    unique_id = f"retry-config-{service}"
    events.unregister(f"needs-retry.{service}", unique_id=unique_id)
    detector = standard.ThrottlingErrorDetector(standard.RetryEventAdapter())
    retry_quota = standard.RetryQuotaChecker(quota.RetryQuota(), detector)
    handler = standard.RetryHandler(
        retry_policy=standard.RetryPolicy(
            retry_checker=standard.StandardRetryConditions(max_attempts=max_attempts),
            retry_backoff=_ScaledBackoff(scale, service_name=service, throttling_detector=detector),
        ),
        retry_event_adapter=standard.RetryEventAdapter(),
        retry_quota=retry_quota,
        service_name=service,
    )
    events.register(f"after-call.{service}", retry_quota.release_retry_quota)
    events.register(f"needs-retry.{service}", handler.needs_retry, unique_id=unique_id)
    if mode != "adaptive":
        return
    clock = _ScaledClock(scale)
    limiter = adaptive.ClientRateLimiter(
        rate_adjustor=throttling.CubicCalculator(starting_max_rate=0, start_time=clock.current_time()),
        rate_clocker=adaptive.RateClocker(clock),
        token_bucket=_ScaledTokenBucket(max_rate=1, clock=clock),
        throttling_detector=standard.ThrottlingErrorDetector(
            retry_event_adapter=standard.RetryEventAdapter()
        ),
        clock=clock,
    )
    events.register("before-send", limiter.on_sending_request)
    events.register("needs-retry", limiter.on_receiving_response)
