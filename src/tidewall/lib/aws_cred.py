"""AWS sessions and clients for one run, built from the configuration."""

import time

import boto3
from botocore.config import Config
from botocore.exceptions import ProfileNotFound
from botocore.retries import adaptive, bucket, quota, standard, throttling

from tidewall.core.ConfigAdaptor import DEFAULT_MAX_ATTEMPTS, DEFAULT_RETRY_MODE, ConfigAdaptor, ConfigError


class AwsClientManager:
    """Hands out one cached boto3 client per service, in the configured region and endpoint.

    Credentials come from `aws.profile`, else from explicit `aws.access_key_id`/`aws.secret_access_key`
    (and `aws.session_token`), else from boto3's default chain. `aws.endpoint_url` (moto or another
    AWS-compatible endpoint) is applied to every client.
    """

    def __init__(self, config):
        self.config = ConfigAdaptor(config)
        aws = self.config.aws or {}
        self.region = self.config.region
        self.endpoint_url = aws.get("endpoint_url")
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

    @property
    def retry_mode(self):
        return (self.config.aws or {}).get("retry_mode") or DEFAULT_RETRY_MODE

    @property
    def max_attempts(self):
        return (self.config.aws or {}).get("max_attempts") or DEFAULT_MAX_ATTEMPTS

    @property
    def time_scale(self):
        waits = getattr(self.config, "waits", None) or {}
        return float(waits.get("time_scale") or 1.0)

    def client_config(self, service):
        """botocore's settings for one service: the retry mode and attempt count of `aws.retry_mode` and
        `aws.max_attempts` (throttling and 5xx answers are retried with backoff; "adaptive" also slows the
        client down while AWS throttles it)."""
        mode = self.retry_mode
        if self.time_scale != 1.0:
            mode = "standard"  # the handlers are put on the scaled clock once the client exists
        config = Config(retries={"mode": mode, "total_max_attempts": self.max_attempts})
        if self.endpoint_url and service == "s3":
            # A local endpoint has no per-bucket host names.
            config = config.merge(Config(s3={"addressing_style": "path"}))
        return config

    def getClient(self, service):
        client = self._clients.get(service)
        if client is None:
            kwargs = {"region_name": self.region, "config": self.client_config(service)}
            if self.endpoint_url:
                kwargs["endpoint_url"] = self.endpoint_url
            client = self.session.client(service, **kwargs)
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
