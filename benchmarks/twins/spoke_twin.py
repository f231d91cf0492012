"""Plain-Python twin of tidewall.lib.spoke, written for the cost benchmark only.

It makes the same calls in the same order as the extension module (same outside names, same
lookups through the module's globals, same texts), so that the two can be measured side by side
with the same stand-ins. Nothing in the tool imports it.
"""

import logging

import requests

from tidewall.commands.abstract_command import AbstractCommand
from tidewall.commands.memento import Memento
from tidewall.core.exceptions import CorvaneRollbackException
from tidewall.core.Globals import Globals
from tidewall.lib.commonlib import Common as comm
from tidewall.lib.corvane_backend import (
    _send_corvane_api,
    handleControllerApiFailure,
    handleControllerApiFailureAndExit,
)

__all__ = [
    "AbstractCommand",
    "CorvaneRollbackException",
    "Globals",
    "Memento",
    "_send_corvane_api",
    "comm",
    "handleControllerApiFailure",
    "handleControllerApiFailureAndExit",
    "requests",
]

LOGGER = "tidewall.lib.spoke"


def _log_returned(log, response):
    returned = response["return"]
    key = "reason" if "results" not in response and "reason" in response else "results"
    results = response[key]
    log.info(f"  Returned: {returned!s}  Result: {results!s}")


def _spoke_info_record(gw):
    return {
        "gw_private_ip": gw["private_ip"],
        "gw_name": gw["gw_name"],
        "gw_public_ip": gw["public_ip"],
        "gw_subnet_id": gw["gw_subnet_id"],
        "gw_subnet_cidr": gw["public_subnet"],
    }


def getSpokeInfo(info, subnet_cidr):
    if info["public_subnet"] == subnet_cidr:
        return _spoke_info_record(info)
    if "hagw_details_list" not in info:
        return {"gw_name": None}
    for ha in info["hagw_details_list"]:
        if ha["public_subnet"] == subnet_cidr:
            return _spoke_info_record(ha)
    return {"gw_name": None}


def list_gateway_info(
    api_endpoint_url="",
    CID="",
    vpc_access_account_name="",
    cgx_gw_only="no",
    gw_name=None,
    keyword_for_log="cvn-migration-function---",
):
    payload = {
        "action": "list_vpcs_summary",
        "CID": CID,
        "account_name": vpc_access_account_name,
        "cgx_gw_only": cgx_gw_only,
        "gateway_name": gw_name,
    }
    return _send_corvane_api(
        api_endpoint_url=api_endpoint_url,
        request_method="GET",
        payload=payload,
        keyword_for_log=keyword_for_log,
        indent="    ",
    )


def getSubnetWithSpokeGw(CID, controller_api_url, gw_names):
    log = logging.getLogger(LOGGER)
    subnets = []
    for x in gw_names:
        form = {"CID": CID, "action": "get_gateway_info", "gateway_name": x}
        response = requests.get(controller_api_url, data=form, verify=False).json()
        if response["return"] == False:  # noqa: E712 - Python's ==, as the module asks
            log.error(f"{response!s}")
            continue
        results = response["results"]
        subnets.append({"gw_name": results["gw_name"], "cidr": results["gw_subnet_cidr"]})
    return subnets


def changeSpokeSize(CID, controller_api_url, spoke_gw_name, spoke_gw_size):
    log = logging.getLogger(LOGGER)
    log.info(f"- Set spoke gateway {spoke_gw_name!s} to {spoke_gw_size!s}")
    query = {"CID": CID, "action": "get_gateway_info", "gateway_name": spoke_gw_name}
    answer = requests.get(controller_api_url, params=query, verify=False)
    if Globals.dry_run:
        return None
    info = answer.json()
    if not handleControllerApiFailure(info):
        return None
    if info["results"]["vpc_size"] == spoke_gw_size:
        log.info(f"  no need to resize,  {spoke_gw_name!s} instance size is already set to {spoke_gw_size!s}")
        return None
    form = {"CID": CID, "action": "change_gateway_size", "gw_name": spoke_gw_name, "gw_size": spoke_gw_size}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailure(response)
    _log_returned(log, response)
    return None


def deployClassicSpoke(
    CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, natGwInfos
):
    log = logging.getLogger(LOGGER)
    subnet_cidrs = [x.subnet_cidr for x in natGwInfos]
    size = natGwInfos[0].gateway_size if spoke_gw_size is None else spoke_gw_size
    first = subnet_cidrs[0]
    log.info(f"- Deploy spoke gateway {spoke_gw_name!s} in {first!s}")
    if Globals.dry_run == False:  # noqa: E712
        form = {
            "CID": CID,
            "action": "create_spoke_gw",
            "account_name": account_name,
            "gw_name": spoke_gw_name,
            "gw_size": size,
            "public_subnet": first,
            "vpc_id": vpc,
            "region": region,
            "cloud_type": 1,
            "reuse_eip": "off",
        }
        response = requests.post(controller_api_url, data=form, verify=False).json()
        handleControllerApiFailureAndExit(response)
        _log_returned(log, response)
    if len(subnet_cidrs) > 1:
        second = subnet_cidrs[1]
        log.info(f"- Enable HA on spoke gateway {spoke_gw_name!s} in {second!s}")
        if Globals.dry_run == False:  # noqa: E712
            form = {
                "CID": CID,
                "action": "enable_spoke_ha",
                "account_name": account_name,
                "gw_name": spoke_gw_name,
                "public_subnet": second,
            }
            response = requests.post(controller_api_url, data=form, verify=False).json()
            handleControllerApiFailureAndExit(response)
            _log_returned(log, response)
    return None


def _listed(CID, url, gw_name):
    return list_gateway_info(
        api_endpoint_url=url, CID=CID, vpc_access_account_name="", cgx_gw_only="no", gw_name=gw_name
    ).json()


def _gateway_if_listed(CID, url, gw_name, subnet_cidr, missing_name):
    listing = _listed(CID, url, gw_name)
    if listing["return"] == True and listing["results"]:  # noqa: E712
        return getSpokeInfo(listing["results"][0], subnet_cidr)
    return {"gw_name": missing_name}


def deployPrimaryHsSpoke(
    CID,
    controller_api_url,
    account_name,
    spoke_gw_name,
    gw_size,
    vpc,
    region,
    subnet_cidr,
    eip=None,
    tag=None,
):
    log = logging.getLogger(LOGGER)
    log.info(f"- Deploy primary spoke {spoke_gw_name!s} with {gw_size!s} in subnet {subnet_cidr!s}")
    form = {
        "CID": CID,
        "action": "create_multicloud_primary_gateway",
        "cloud_type": 1,
        "account_name": account_name,
        "vpc_id": vpc,
        "vpc_region": region,
        "gw_name": spoke_gw_name,
        "gw_size": gw_size,
        "gw_subnet": subnet_cidr,
    }
    if eip is not None:
        form["eip"] = eip
    if tag is not None:
        form["tag"] = tag
    if not Globals.dry_run == False:  # noqa: E712
        return _gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr, spoke_gw_name)
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailure(response)
    _log_returned(log, response)
    if response["return"] == True:  # noqa: E712
        return getSpokeInfo(_listed(CID, controller_api_url, spoke_gw_name)["results"][0], subnet_cidr)
    return _gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr, None)


def deployHaHsSpoke(
    CID, controller_api_url, spoke_gw_name, gw_size, subnet_cidr, eip=None, ha_gw_name=None, tag=None
):
    log = logging.getLogger(LOGGER)
    log.info(f"- Deploy HS Spoke with {gw_size!s} in subnet {subnet_cidr!s}")
    form = {
        "CID": CID,
        "action": "create_multicloud_ha_gateway",
        "cloud_type": 1,
        "primary_gw_name": spoke_gw_name,
        "gw_size": gw_size,
        "gw_subnet": subnet_cidr,
        "autogen_hagw_name": "yes",
    }
    if eip is not None:
        form["eip"] = eip
    if tag is not None:
        form["tag"] = tag
    if ha_gw_name is not None:
        form["ha_gw_name"] = ha_gw_name
    if not Globals.dry_run == False:  # noqa: E712
        return {"gw_name": ha_gw_name}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailure(response)
    _log_returned(log, response)
    if response["return"] == True:  # noqa: E712
        listing = _listed(CID, controller_api_url, response["ha_gw_name"])
        return getSpokeInfo(listing["results"][0], subnet_cidr)
    return _gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr, None)


def _already_served(log, existing_gw_cidrs, cidr):
    served = [r for r in existing_gw_cidrs if r["cidr"] == cidr]
    if not served:
        return False
    log.info(f"  subnet {cidr!s} already has a spoke gw {served[0]['gw_name']!s}")
    return True


def deployHsSpoke(
    CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, natGwInfos, num_of_spoke
):
    """Deploy spoke gw in subnet where natgw is found."""
    log = logging.getLogger(LOGGER)
    log.info("- Deploy HS Spoke")
    subnet_cidrs = [x.subnet_cidr for x in natGwInfos]
    form = {"CID": CID, "action": "list_primary_and_ha_spoke_gateways"}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailureAndExit(response)
    gw_names = [gw["name"] for gw in response["results"] if gw["name"].startswith(spoke_gw_name)]
    if gw_names:
        log.info(f"  Found existing spoke gateways {gw_names!s}")
    existing_gw_cidrs = getSubnetWithSpokeGw(CID, controller_api_url, gw_names)

    primary_size = spoke_gw_size if spoke_gw_size is not None else natGwInfos[0].gateway_size
    c0 = subnet_cidrs[0]
    if not _already_served(log, existing_gw_cidrs, c0):
        nat_gw_id = natGwInfos[0].nat_gw_id
        log.info(f"  deploy spoke gateway {spoke_gw_name!s} in {c0!s} for {nat_gw_id!s}")
        deployPrimaryHsSpoke(
            CID, controller_api_url, account_name, spoke_gw_name, primary_size, vpc, region, c0, eip=None
        )
    for i in range(1, num_of_spoke):
        ci = subnet_cidrs[i]
        if _already_served(log, existing_gw_cidrs, ci):
            continue
        nat_gw_id = natGwInfos[i].nat_gw_id
        log.info(f"  deploy spoke gateway in {ci!s} for {nat_gw_id!s}")
        size = spoke_gw_size if spoke_gw_size is not None else natGwInfos[i].gateway_size
        deployHaHsSpoke(CID, controller_api_url, spoke_gw_name, size, ci, eip=None)
    return None


def deleteSpoke(CID, controller_api_url, spoke_gw_name):
    log = logging.getLogger(LOGGER)
    log.info(f"- Disable HA on spoke gateway {spoke_gw_name!s}")
    if not Globals.dry_run:
        form = {"CID": CID, "action": "disable_spoke_ha", "gw_name": spoke_gw_name}
        response = requests.post(controller_api_url, data=form, verify=False).json()
        if handleControllerApiFailure(response):
            log.info(f"  {response!s}")
    log.info(f"- Delete existing spoke gateway {spoke_gw_name!s}")
    if not Globals.dry_run:
        form = {"CID": CID, "action": "delete_container", "cloud_type": 1, "gw_name": spoke_gw_name}
        response = requests.post(controller_api_url, data=form, verify=False).json()
        if handleControllerApiFailure(response):
            log.info(f"  {response!s}")
    return None


def deleteHsSpoke(CID, controller_api_url, spoke_gw_name):
    log = logging.getLogger(LOGGER)
    form = {"CID": CID, "action": "delete_multicloud_gateway", "gw_name": spoke_gw_name}
    if Globals.dry_run:
        return None
    response = requests.post(controller_api_url, data=form, verify=False).json()
    if handleControllerApiFailure(response):
        log.info(f"  {response!s}")
    return None


def deleteAllHsSpokes(CID, controller_api_url, spoke_gw_name):
    log = logging.getLogger(LOGGER)
    log.info("- Delete HS spoke")
    form = {"CID": CID, "action": "list_primary_and_ha_spoke_gateways"}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailureAndExit(response)
    gw_names = [gw["name"] for gw in response["results"]]
    log.info(f"  found spoke gateways: {gw_names!s}")
    log.info(f"  deleting HA on spoke gateway {spoke_gw_name!s}")
    found = False
    for x in gw_names:
        if x != spoke_gw_name and x.startswith(spoke_gw_name):
            deleteHsSpoke(CID, controller_api_url, x)
            found = True
    if not found:
        log.info("  no HA spoke gateway found")
    log.info(f"  delete primary spoke gateway {spoke_gw_name!s}")
    deleteHsSpoke(CID, controller_api_url, spoke_gw_name)
    return None


def enableSNAT(spoke_gw_name, controller_api_url, CID):
    log = logging.getLogger(LOGGER)
    log.info(f"- Enable Single IP SNAT on spoke gateway {spoke_gw_name!s}")
    if Globals.dry_run:
        return None
    form = {"CID": CID, "action": "enable_snat", "gateway_name": spoke_gw_name}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    handleControllerApiFailure(response)
    _log_returned(log, response)
    return None


def disable_snat(CID, controller_api_url, spoke_gw_name):
    log = logging.getLogger(LOGGER)
    log.info(f"- Disable SNAT on spoke gateway {spoke_gw_name!s}")
    if Globals.dry_run:
        return None
    form = {"CID": CID, "action": "disable_snat", "gateway_name": spoke_gw_name}
    response = requests.post(controller_api_url, data=form, verify=False).json()
    if handleControllerApiFailure(response):
        log.info(f"  {response!s}")
    return None


def _begin_command(self, api_path):
    comm.logOperation(type(self).__name__)
    cid = Globals.CID
    return cid, "https://" + Globals.controller_ip + api_path


class HsSpokeCreateMemento(Memento):
    def __init__(self, spoke_info):
        self.spoke_info = spoke_info

    def getSpokeInfo(self):
        return self.spoke_info

    def restore(self):
        HsSpokeCmd().delete(self.spoke_info["gw_name"])

    def toDict(self):
        return self.__dict__


class HsSpokeCmd:
    def __init__(
        self,
        account_name=None,
        spoke_gw_name=None,
        spoke_gw_size=None,
        vpc_id=None,
        region=None,
        primary=True,
    ):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.primary = primary

    def _saveMememto(self, spoke_info):
        return HsSpokeCreateMemento(spoke_info)

    def create(self, subnet_cidr, eip, gw_size, ha_gw_name=None, tag=None):
        cid, endpoint = _begin_command(self, "/v2/api")
        size = self.spoke_gw_size
        if size is None:
            size = gw_size
        if self.primary:
            spoke_info = deployPrimaryHsSpoke(
                cid,
                endpoint,
                self.account_name,
                self.spoke_gw_name,
                size,
                self.vpc_id,
                self.region,
                subnet_cidr,
                eip,
                tag,
            )
        else:
            spoke_info = deployHaHsSpoke(
                cid, endpoint, self.spoke_gw_name, size, subnet_cidr, eip, ha_gw_name, tag
            )
        if not Globals.dry_run and (spoke_info is None or spoke_info["gw_name"] is None):
            raise CorvaneRollbackException(f"Spoke gateway {self.spoke_gw_name!s} creation failure")
        return self._saveMememto(spoke_info)

    def delete(self, spoke_gw_name=None):
        cid, endpoint = _begin_command(self, "/v2/api")
        log = logging.getLogger(LOGGER)
        name = self.spoke_gw_name if spoke_gw_name is None else spoke_gw_name
        log.info(f"- Delete HS spoke gateway {name!s}")
        deleteHsSpoke(cid, endpoint, name)


class DeployHsSpokeGwCmd(AbstractCommand):
    def __init__(
        self,
        account_name=None,
        spoke_gw_name=None,
        spoke_gw_size=None,
        vpc_id=None,
        region=None,
        natGwInfos=None,
        num_of_spoke=None,
    ):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.natGwInfos = natGwInfos
        self.num_of_spoke = num_of_spoke

    def execute(self):
        cid, endpoint = _begin_command(self, "/v2/api")
        deployHsSpoke(
            cid,
            endpoint,
            self.account_name,
            self.spoke_gw_name,
            self.spoke_gw_size,
            self.vpc_id,
            self.region,
            self.natGwInfos,
            self.num_of_spoke,
        )

    def undo(self):
        cid, endpoint = _begin_command(self, "/v2/api")
        deleteAllHsSpokes(cid, endpoint, self.spoke_gw_name)

    def save_backup(self):
        pass


class DeployClassicSpokeGwCmd(AbstractCommand):
    def __init__(
        self,
        account_name=None,
        spoke_gw_name=None,
        spoke_gw_size=None,
        vpc_id=None,
        region=None,
        natGwInfos=None,
    ):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.natGwInfos = natGwInfos

    def execute(self):
        cid, endpoint = _begin_command(self, "/v1/api")
        deployClassicSpoke(
            cid,
            endpoint,
            self.account_name,
            self.spoke_gw_name,
            self.spoke_gw_size,
            self.vpc_id,
            self.region,
            self.natGwInfos,
        )

    def undo(self):
        cid, endpoint = _begin_command(self, "/v1/api")
        deleteSpoke(cid, endpoint, self.spoke_gw_name)


class SnatEnableMemento(Memento):
    def __init__(self, spoke_gw_name):
        self.spoke_gw_name = spoke_gw_name

    def restore(self):
        SnatCmd(self.spoke_gw_name).disable()

    def toDict(self):
        return self.__dict__


class SnatCmd:
    def __init__(self, spoke_gw_name):
        self.spoke_gw_name = spoke_gw_name

    def _saveMemento(self):
        return SnatEnableMemento(self.spoke_gw_name)

    def enable(self):
        cid, endpoint = _begin_command(self, "/v2/api")
        enableSNAT(self.spoke_gw_name, endpoint, cid)
        return self._saveMemento()

    def disable(self):
        cid, endpoint = _begin_command(self, "/v2/api")
        disable_snat(cid, endpoint, self.spoke_gw_name)


class ResizeSpokeGatewayMemento(Memento):
    def __init__(self, spoke_gw_name, from_gw_size, to_gw_size):
        self.spoke_gw_name = spoke_gw_name
        self.from_gw_size = from_gw_size
        self.to_gw_size = to_gw_size

    def restore(self):
        ResizeSpokeGatewayCmd(self.spoke_gw_name, self.to_gw_size, self.from_gw_size).execute()

    def toDict(self):
        return self.__dict__


class ResizeSpokeGatewayCmd:
    def __init__(self, spoke_gw_name, from_gw_size, to_gw_size):
        self.spoke_gw_name = spoke_gw_name
        self.from_gw_size = from_gw_size
        self.to_gw_size = to_gw_size

    def _saveMemento(self):
        return ResizeSpokeGatewayMemento(self.spoke_gw_name, self.from_gw_size, self.to_gw_size)

    def execute(self):
        cid, endpoint = _begin_command(self, "/v2/api")
        changeSpokeSize(cid, endpoint, self.spoke_gw_name, self.to_gw_size)
        return self._saveMemento()
