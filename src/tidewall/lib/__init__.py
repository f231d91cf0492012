"""Controller, AWS and NAT-gateway services used by the commands."""
