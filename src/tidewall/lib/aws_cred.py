"""AWS sessions and clients for one run, built from the configuration."""

import boto3
from botocore.config import Config
from botocore.exceptions import ProfileNotFound

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

    def client_config(self, service):
        """botocore's settings for one service: the retry mode and attempt count of `aws.retry_mode` and
        `aws.max_attempts` (throttling and 5xx answers are retried with backoff; "adaptive" also slows the
        client down while AWS throttles it)."""
        aws = self.config.aws or {}
        retries = {
            "mode": aws.get("retry_mode") or DEFAULT_RETRY_MODE,
            "total_max_attempts": aws.get("max_attempts") or DEFAULT_MAX_ATTEMPTS,
        }
        config = Config(retries=retries)
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
            self._clients[service] = client
        return client

    def getEc2Client(self):
        return self.getClient("ec2")

    def getCwClient(self):
        return self.getClient("cloudwatch")

    def getS3Client(self):
        return self.getClient("s3")
