"""AWS sessions and clients for one run, built from the configuration."""

import boto3
from botocore.config import Config
from botocore.exceptions import ProfileNotFound

from tidewall.core.ConfigAdaptor import ConfigAdaptor, ConfigError


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

    def getClient(self, service):
        client = self._clients.get(service)
        if client is None:
            kwargs = {"region_name": self.region}
            if self.endpoint_url:
                kwargs["endpoint_url"] = self.endpoint_url
                if service == "s3":
                    # A local endpoint has no per-bucket host names.
                    kwargs["config"] = Config(s3={"addressing_style": "path"})
            client = self.session.client(service, **kwargs)
            self._clients[service] = client
        return client

    def getEc2Client(self):
        return self.getClient("ec2")

    def getCwClient(self):
        return self.getClient("cloudwatch")

    def getS3Client(self):
        return self.getClient("s3")
