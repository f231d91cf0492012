"""Move a VPC's outbound traffic from AWS NAT gateways to controller spoke gateways."""

__version__ = "0.1.0"
