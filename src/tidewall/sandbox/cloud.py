"""The simulated controller's cloud side: spoke gateways become EC2 instances in the simulated AWS.

`AwsCloud` does to EC2 what a network controller does to a customer's account: it launches
an instance for each gateway it creates, hands it the requested Elastic IP (never one that
still carries traffic), points orphaned private default routes at the spoke gateways, and
cleans up behind a gateway it deletes. All its AWS calls are the sandbox's own and are kept
out of the tool's cost counts. It judges what EC2 shows with its own view of the VPC
(`VpcView`), never with the tool's functions.
"""

import logging
from collections.abc import Mapping

from botocore.exceptions import ClientError

from tidewall.sandbox.accounting import excluded
from tidewall.sandbox.controller.backend import CloudError
from tidewall.sandbox.vpcview import (
    DEFAULT_ROUTE,
    GATEWAY_TAG,
    HOLDING_NATGW_STATES,
    LIVE_INSTANCE_STATES,
    VpcView,
    default_route,
)

logger = logging.getLogger("tidewall.sandbox.cloud")

# On an Elastic IP this cloud allocated itself (value: the gateway's name). Only such
# addresses are released again; an address handed in with the gateway belongs to the user.
ALLOCATED_TAG = "tidewall:allocated-for"
DEFAULT_SIZE = "t3.small"
GATEWAY_IMAGE_NAME = "amzn2-ami-hvm-*-x86_64-gp2"


def _error_code(err):
    return err.response.get("Error", {}).get("Code", "")


def _field(record, name, default=None):
    if isinstance(record, Mapping):
        return record.get(name, default)
    return getattr(record, name, default)


class AwsCloud:
    """Cloud hook of the simulated controller, acting on one (simulated) EC2 endpoint.

    `withhold_eip` (VPC ids) makes the gateways of those VPCs come up without their Elastic IP: the
    instance runs and the controller reports the address as the gateway's, but the address stays where
    it was. A spoke's acceptance test then fails, as it would on a cloud that lost the association.
    """

    def __init__(self, ec2_client, withhold_eip=None):
        self.ec2 = ec2_client
        self.withhold_eip = withhold_eip if withhold_eip is not None else set()
        self._image_id = None

    # ------------------------------------------------------------ lookups

    def subnet_id_for(self, vpc_id, subnet_cidr):
        with excluded():
            subnets = self.ec2.describe_subnets(
                Filters=[
                    {"Name": "vpc-id", "Values": [vpc_id]},
                    {"Name": "cidr-block", "Values": [subnet_cidr]},
                ]
            )["Subnets"]
        if not subnets:
            raise CloudError(f"Subnet {subnet_cidr} not found in {vpc_id}")
        return subnets[0]["SubnetId"]

    def _image(self):
        """The newest Amazon Linux 2 image (any image when the cloud has none of those)."""
        if self._image_id is None:
            images = self.ec2.describe_images(
                Owners=["amazon"], Filters=[{"Name": "name", "Values": [GATEWAY_IMAGE_NAME]}]
            )["Images"]
            if not images:
                images = self.ec2.describe_images()["Images"]
            if not images:
                raise CloudError("No machine image available for gateway instances")
            newest = max(images, key=lambda i: (i.get("CreationDate") or "", i["ImageId"]))
            self._image_id = newest["ImageId"]
        return self._image_id

    def _address(self, public_ip):
        try:
            found = self.ec2.describe_addresses(PublicIps=[public_ip])["Addresses"]
        except ClientError as err:
            if _error_code(err).startswith("InvalidAddress"):
                found = []
            else:
                raise
        if not found:
            raise CloudError(f"Elastic IP {public_ip} is not allocated in this account")
        return found[0]

    def _eip_in_use(self, address):
        """Whether the Elastic IP carries traffic or is held: by a live instance, or by a NAT gateway that
        is pending, available or being deleted (EC2 frees its addresses only once it is deleted)."""
        instance_id = address.get("InstanceId")
        if instance_id:
            reservations = self.ec2.describe_instances(
                Filters=[
                    {"Name": "instance-id", "Values": [instance_id]},
                    {"Name": "instance-state-name", "Values": list(LIVE_INSTANCE_STATES)},
                ]
            )["Reservations"]
            if any(r["Instances"] for r in reservations):
                return True
        natgws = self.ec2.describe_nat_gateways(
            Filters=[{"Name": "state", "Values": list(HOLDING_NATGW_STATES) + ["deleting"]}]
        )["NatGateways"]
        return any(
            a.get("AllocationId") == address.get("AllocationId")
            for natgw in natgws
            if natgw.get("State") in (*HOLDING_NATGW_STATES, "deleting")
            for a in natgw.get("NatGatewayAddresses") or []
        )

    def _gateway_instances(self, gw):
        """Live instances of a gateway: its recorded instance, else those tagged with its name."""
        instance_id = _field(gw, "instance_id")
        if instance_id:
            filters = [{"Name": "instance-id", "Values": [instance_id]}]
        else:
            filters = [{"Name": f"tag:{GATEWAY_TAG}", "Values": [_field(gw, "name")]}]
        filters.append({"Name": "instance-state-name", "Values": list(LIVE_INSTANCE_STATES) + ["stopped"]})
        reservations = self.ec2.describe_instances(Filters=filters)["Reservations"]
        return [i["InstanceId"] for r in reservations for i in r["Instances"]]

    # ------------------------------------------------------------ gateway lifecycle

    def launch(self, gw):
        """Run the gateway's instance and give it its Elastic IP.

        With `gw.eip` set, that address is moved to the instance, but only once nothing uses it
        any more (a running instance, a pending or available NAT gateway); a deleted NAT
        gateway's leftover association does not count. Without one, a new address is allocated.
        """
        with excluded():
            subnet_id = _field(gw, "subnet_id") or self.subnet_id_for(
                _field(gw, "vpc_id"), _field(gw, "subnet_cidr")
            )
            eip = _field(gw, "eip")
            address = None
            if eip:
                address = self._address(eip)
                if self._eip_in_use(address):
                    raise CloudError(f"Elastic IP {eip} is still in use")
            name = _field(gw, "name")
            try:
                instance = self.ec2.run_instances(
                    ImageId=self._image(),
                    InstanceType=_field(gw, "size") or DEFAULT_SIZE,
                    MinCount=1,
                    MaxCount=1,
                    SubnetId=subnet_id,
                    TagSpecifications=[
                        {
                            "ResourceType": "instance",
                            "Tags": [{"Key": "Name", "Value": name}, {"Key": GATEWAY_TAG, "Value": name}],
                        }
                    ],
                )["Instances"][0]
            except ClientError as err:
                raise CloudError(f"Could not launch gateway {name}: {err}") from None
            instance_id = instance["InstanceId"]
            # A gateway forwards the traffic of other hosts: its source/destination check is off.
            self.ec2.modify_instance_attribute(InstanceId=instance_id, SourceDestCheck={"Value": False})
            if eip and _field(gw, "vpc_id") in self.withhold_eip:
                logger.info("cloud: launched %s as %s, withholding %s on purpose", name, instance_id, eip)
                return {
                    "instance_id": instance_id,
                    "private_ip": instance.get("PrivateIpAddress"),
                    "public_ip": eip,
                }
            allocated = None
            try:
                if address is None:
                    allocated = self.ec2.allocate_address(
                        Domain="vpc",
                        TagSpecifications=[
                            {"ResourceType": "elastic-ip", "Tags": [{"Key": ALLOCATED_TAG, "Value": name}]}
                        ],
                    )
                    address = allocated
                # AllowReassociation moves a leftover association of a deleted NAT gateway.
                self.ec2.associate_address(
                    AllocationId=address["AllocationId"], InstanceId=instance_id, AllowReassociation=True
                )
            except ClientError as err:
                self.ec2.terminate_instances(InstanceIds=[instance_id])
                if allocated is not None:
                    self.ec2.release_address(AllocationId=allocated["AllocationId"])
                raise CloudError(f"Could not attach an Elastic IP to gateway {name}: {err}") from None
            logger.info("cloud: launched %s as %s with %s", name, instance_id, address["PublicIp"])
            return {
                "instance_id": instance_id,
                "private_ip": instance.get("PrivateIpAddress"),
                "public_ip": address["PublicIp"],
            }

    def terminate(self, gw):
        """Terminate the gateway's instance; its Elastic IP is set free, and released only
        when this cloud allocated it."""
        with excluded():
            for instance_id in self._gateway_instances(gw):
                addresses = self.ec2.describe_addresses(
                    Filters=[{"Name": "instance-id", "Values": [instance_id]}]
                )["Addresses"]
                for address in addresses:
                    if address.get("AssociationId"):
                        self.ec2.disassociate_address(AssociationId=address["AssociationId"])
                    if any(t.get("Key") == ALLOCATED_TAG for t in address.get("Tags") or []):
                        self.ec2.release_address(AllocationId=address["AllocationId"])
                self.ec2.terminate_instances(InstanceIds=[instance_id])
                logger.info("cloud: terminated %s (%s)", _field(gw, "name"), instance_id)

    def resize(self, gw, size):
        """Change the instance type (stop, modify, start, as EC2 requires)."""
        self.stop(gw)
        self.start(gw, size)

    def stop(self, gw):
        """Stop the gateway's instance (the first half of a resize: no traffic passes meanwhile)."""
        with excluded():
            instance_ids = self._instances_of(gw)
            try:
                self.ec2.stop_instances(InstanceIds=instance_ids)
            except ClientError as err:
                raise CloudError(f"Could not stop gateway {_field(gw, 'name')}: {err}") from None

    def start(self, gw, size=None):
        """Start the gateway's instance again, with a new instance type when `size` is given."""
        with excluded():
            try:
                for instance_id in self._instances_of(gw):
                    if size:
                        self.ec2.modify_instance_attribute(
                            InstanceId=instance_id, InstanceType={"Value": size}
                        )
                    self.ec2.start_instances(InstanceIds=[instance_id])
            except ClientError as err:
                raise CloudError(f"Could not resize gateway {_field(gw, 'name')}: {err}") from None

    def _instances_of(self, gw):
        instance_ids = self._gateway_instances(gw)
        if not instance_ids:
            raise CloudError(f"Gateway {_field(gw, 'name')} has no instance")
        return instance_ids

    # ------------------------------------------------------------ routing

    def routing_changed(self, vpc_id, gateways):
        """Give every private route table without a working default route a spoke gateway.

        `gateways` are the controller's gateways of the VPC that stay (a gateway being deleted
        is already left out, though its instance may still run). A gateway serves egress when
        its instance is live and SNAT is on at its primary. A table whose 0.0.0.0/0 route works
        is never touched; one whose route is missing, points at an unavailable NAT gateway or at
        a gone instance (including a spoke gateway no longer among `gateways`) is pointed at the
        serving spoke in its own zone, else at the serving primary, else at any serving spoke.
        With none serving it is left as it is, for a NAT gateway restore to repoint.
        """
        with excluded():
            view = VpcView(self.ec2, vpc_id)
            records = list(gateways.values()) if isinstance(gateways, Mapping) else list(gateways or [])
            records = [
                g for g in records if _field(g, "vpc_id", vpc_id) == vpc_id and _field(g, "instance_id")
            ]
            live = [g for g in records if view.instance_is_live(_field(g, "instance_id"))]
            live_ids = {_field(g, "instance_id") for g in live}
            by_name = {_field(g, "name"): g for g in live}

            def serves(g):
                primary = by_name.get(_field(g, "primary")) if _field(g, "primary") else g
                return primary is not None and bool(_field(primary, "snat"))

            serving = [g for g in live if serves(g)]
            primaries = [g for g in serving if not _field(g, "primary")]
            departed = {
                iid
                for iid, inst in view.instances.items()
                if iid not in live_ids and any(t.get("Key") == GATEWAY_TAG for t in inst.get("Tags") or [])
            }

            for table in view.private_tables():
                route = default_route(table)
                if (
                    route is not None
                    and route.get("InstanceId") not in departed
                    and view.route_is_live(route)
                ):
                    continue
                zones = view.table_zones(table)
                in_zone = [g for g in serving if view.subnet_zone(_field(g, "subnet_id")) in zones]
                target = (in_zone or primaries or serving or [None])[0]
                if target is None:
                    continue
                self._point(table["RouteTableId"], route, _field(target, "instance_id"))
                logger.info(
                    "cloud: %s 0.0.0.0/0 -> %s (%s)",
                    table["RouteTableId"],
                    _field(target, "name"),
                    _field(target, "instance_id"),
                )

    def _point(self, table_id, route, instance_id):
        try:
            if route is None:
                self.ec2.create_route(
                    RouteTableId=table_id, DestinationCidrBlock=DEFAULT_ROUTE, InstanceId=instance_id
                )
            else:
                self.ec2.replace_route(
                    RouteTableId=table_id, DestinationCidrBlock=DEFAULT_ROUTE, InstanceId=instance_id
                )
        except ClientError as err:
            raise CloudError(f"Could not route {table_id} to {instance_id}: {err}") from None


class RegionalCloud:
    """Cloud hook of a simulated controller that serves several regions: each request acts on the EC2 of
    its gateway's region (`region` of the request), or, where it names only a VPC, of the region that VPC
    is in. `clients` maps each region to its EC2 client; `withhold_eip` is shared by every region."""

    def __init__(self, clients, withhold_eip=None):
        self.withhold_eip = withhold_eip if withhold_eip is not None else set()
        self.clouds = {region: AwsCloud(client, self.withhold_eip) for region, client in clients.items()}
        self._vpc_regions = {}  # vpc id -> region, as found

    def region_of(self, vpc_id):
        """The region of `vpc_id` (looked up in each region once); CloudError when no region has it."""
        region = self._vpc_regions.get(vpc_id)
        if region is not None:
            return region
        with excluded():
            for region, cloud in self.clouds.items():
                try:
                    found = cloud.ec2.describe_vpcs(VpcIds=[vpc_id])["Vpcs"]
                except ClientError as err:
                    if _error_code(err).startswith("InvalidVpcID"):
                        continue
                    raise
                if found:
                    self._vpc_regions[vpc_id] = region
                    return region
        raise CloudError(f"VPC {vpc_id} not found in {', '.join(self.clouds)}")

    def _for(self, gw=None, vpc_id=None):
        region = _field(gw, "region") if gw is not None else None
        if region:
            cloud = self.clouds.get(region)
            if cloud is None:
                raise CloudError(f"Region {region} is not served by this controller")
            return cloud
        return self.clouds[self.region_of(vpc_id if vpc_id is not None else _field(gw, "vpc_id"))]

    def subnet_id_for(self, vpc_id, subnet_cidr):
        return self._for(vpc_id=vpc_id).subnet_id_for(vpc_id, subnet_cidr)

    def launch(self, gw):
        return self._for(gw).launch(gw)

    def terminate(self, gw):
        return self._for(gw).terminate(gw)

    def resize(self, gw, size):
        return self._for(gw).resize(gw, size)

    def stop(self, gw):
        return self._for(gw).stop(gw)

    def start(self, gw, size=None):
        return self._for(gw).start(gw, size)

    def routing_changed(self, vpc_id, gateways):
        return self._for(vpc_id=vpc_id).routing_changed(vpc_id, gateways)
