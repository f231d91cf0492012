"""moto, made to answer as AWS does where a migration depends on it.

- A NAT gateway that is deleted lets go of its Elastic IPs (moto keeps them associated with its network
  interface for ever; AWS disassociates them when it deletes the NAT gateway).
- CreateNatGateway honours `PrivateIpAddress`, `SecondaryAllocationIds` and `SecondaryPrivateIpAddresses`,
  and marks the primary address `IsPrimary` (moto ignores the three and marks nothing).

`install()` patches moto in this process: the in-process mocks and the sandbox's moto server (which runs in
the test process) alike. conftest.py installs it for the whole session.
"""

from moto.core.responses import ActionResult
from moto.ec2.models import ec2_backends
from moto.ec2.models.nat_gateways import NatGatewayBackend
from moto.ec2.responses.nat_gateways import NatGateways
from moto.ec2.utils import add_tag_specification, random_private_ip

_installed = {}


def _create_nat_gateway(self):
    nat_gateway = self.ec2_backend.create_nat_gateway(
        subnet_id=self._get_param("SubnetId"),
        allocation_id=self._get_param("AllocationId"),
        tags=add_tag_specification(self._get_param("TagSpecifications", [])),
        connectivity_type=self._get_param("ConnectivityType"),
    )
    private_ip = self._get_param("PrivateIpAddress")
    if private_ip:
        nat_gateway._eni.private_ip_address = private_ip
        nat_gateway.private_ip = private_ip
        nat_gateway.address_set[0]["privateIp"] = private_ip
    if nat_gateway.address_set and nat_gateway.address_set[0].get("allocationId"):
        nat_gateway.address_set[0]["isPrimary"] = True
    secondary_ips = list(self._get_param("SecondaryPrivateIpAddresses", []) or [])
    subnet = self.ec2_backend.get_subnet(nat_gateway.subnet_id)
    for i, allocation_id in enumerate(self._get_param("SecondaryAllocationIds", []) or []):
        eip = self.ec2_backend.address_by_allocation([allocation_id])[0]
        private = secondary_ips[i] if i < len(secondary_ips) else random_private_ip(subnet.cidr_block)
        primary_public_ip = nat_gateway._eni.public_ip
        self.ec2_backend.associate_address(eni=nat_gateway._eni, allocation_id=allocation_id)
        nat_gateway._eni.public_ip = primary_public_ip
        nat_gateway.address_set.append(
            {
                "allocationId": allocation_id,
                "publicIp": eip.public_ip,
                "associationId": eip.association_id,
                "networkInterfaceId": nat_gateway._eni.id,
                "privateIp": private,
                "isPrimary": False,
            }
        )
    return ActionResult({"NatGateway": nat_gateway})


def _delete_nat_gateway(self, nat_gateway_id):
    nat_gateway = _installed["delete"](self, nat_gateway_id)
    for address in nat_gateway.address_set:
        if not address.get("allocationId"):
            continue
        for eip in self.address_by_allocation([address["allocationId"]]):
            if eip.eni is nat_gateway._eni:
                eip.eni = eip.instance = eip.association_id = None
    return nat_gateway


def install():
    """Patch moto (once per process)."""
    if _installed:
        return
    _installed["create"] = NatGateways.create_nat_gateway
    _installed["delete"] = NatGatewayBackend.delete_nat_gateway
    NatGateways.create_nat_gateway = _create_nat_gateway
    NatGatewayBackend.delete_nat_gateway = _delete_nat_gateway


def nat_gateway(nat_gateway_id, region="us-east-1"):
    """moto's own object of a NAT gateway (to shape what it answers), in any account of this process."""
    for account in ec2_backends.values():
        backend = account.get(region) if hasattr(account, "get") else None
        if backend is not None and nat_gateway_id in backend.nat_gateways:
            return backend.nat_gateways[nat_gateway_id]
    raise KeyError(nat_gateway_id)
