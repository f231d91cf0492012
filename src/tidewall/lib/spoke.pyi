"""Operations on the controller's spoke gateways and the undoable commands built on them."""

import logging as logging
from collections.abc import Sequence
from typing import Any, Protocol

import requests as requests
from requests import Response

from tidewall.commands.abstract_command import AbstractCommand as AbstractCommand
from tidewall.commands.memento import Memento as Memento
from tidewall.core.exceptions import CorvaneRollbackException as CorvaneRollbackException
from tidewall.core.Globals import Globals as Globals
from tidewall.lib import commonlib as _commonlib
from tidewall.lib.corvane_backend import _send_corvane_api as _send_corvane_api
from tidewall.lib.corvane_backend import handleControllerApiFailure as handleControllerApiFailure
from tidewall.lib.corvane_backend import (
    handleControllerApiFailureAndExit as handleControllerApiFailureAndExit,
)

comm = _commonlib.Common

class _NatGwDescription(Protocol):
    """What the deploy operations read of a NAT gateway (fields, not keys)."""

    subnet_cidr: str
    nat_gw_id: str
    gateway_size: str

# Spoke info record: gw_private_ip, gw_name, gw_public_ip, gw_subnet_id, gw_subnet_cidr
# ({"gw_name": None} or {"gw_name": name} when no gateway was found).
_SpokeInfo = dict[str, Any]

def getSpokeInfo(info: dict[str, Any], subnet_cidr: str) -> _SpokeInfo: ...
def list_gateway_info(
    api_endpoint_url: str = "",
    CID: str = "",
    vpc_access_account_name: str = "",
    cgx_gw_only: str = "no",
    gw_name: str | None = None,
    keyword_for_log: str = "cvn-migration-function---",
) -> Response: ...
def getSubnetWithSpokeGw(
    CID: str, controller_api_url: str, gw_names: Sequence[str]
) -> list[dict[str, Any]]: ...
def changeSpokeSize(CID: str, controller_api_url: str, spoke_gw_name: str, spoke_gw_size: str) -> None: ...
def deployClassicSpoke(
    CID: str,
    controller_api_url: str,
    account_name: str,
    spoke_gw_name: str,
    spoke_gw_size: str | None,
    vpc: str,
    region: str,
    natGwInfos: Sequence[_NatGwDescription],
) -> None: ...
def deployPrimaryHsSpoke(
    CID: str,
    controller_api_url: str,
    account_name: str,
    spoke_gw_name: str,
    gw_size: str,
    vpc: str,
    region: str,
    subnet_cidr: str,
    eip: str | None = None,
    tag: str | None = None,
) -> _SpokeInfo: ...
def deployHaHsSpoke(
    CID: str,
    controller_api_url: str,
    spoke_gw_name: str,
    gw_size: str,
    subnet_cidr: str,
    eip: str | None = None,
    ha_gw_name: str | None = None,
    tag: str | None = None,
) -> _SpokeInfo: ...
def deployHsSpoke(
    CID: str,
    controller_api_url: str,
    account_name: str,
    spoke_gw_name: str,
    spoke_gw_size: str | None,
    vpc: str,
    region: str,
    natGwInfos: Sequence[_NatGwDescription],
    num_of_spoke: int,
) -> None: ...
def deleteSpoke(CID: str, controller_api_url: str, spoke_gw_name: str) -> None: ...
def deleteHsSpoke(CID: str, controller_api_url: str, spoke_gw_name: str) -> None: ...
def deleteAllHsSpokes(CID: str, controller_api_url: str, spoke_gw_name: str) -> None: ...
def enableSNAT(spoke_gw_name: str, controller_api_url: str, CID: str) -> None: ...
def disable_snat(CID: str, controller_api_url: str, spoke_gw_name: str) -> None: ...

class HsSpokeCreateMemento(Memento):
    spoke_info: _SpokeInfo | None
    def __init__(self, spoke_info: _SpokeInfo | None) -> None: ...
    def getSpokeInfo(self) -> _SpokeInfo | None: ...
    def restore(self) -> None: ...
    def toDict(self) -> dict[str, Any]: ...

class HsSpokeCmd:
    account_name: str | None
    spoke_gw_name: str | None
    spoke_gw_size: str | None
    vpc_id: str | None
    region: str | None
    primary: bool
    def __init__(
        self,
        account_name: str | None = None,
        spoke_gw_name: str | None = None,
        spoke_gw_size: str | None = None,
        vpc_id: str | None = None,
        region: str | None = None,
        primary: bool = True,
    ) -> None: ...
    def _saveMememto(self, spoke_info: _SpokeInfo | None) -> HsSpokeCreateMemento: ...
    def create(
        self,
        subnet_cidr: str,
        eip: str | None,
        gw_size: str,
        ha_gw_name: str | None = None,
        tag: str | None = None,
    ) -> HsSpokeCreateMemento: ...
    def delete(self, spoke_gw_name: str | None = None) -> None: ...

class DeployHsSpokeGwCmd(AbstractCommand):
    account_name: str | None
    spoke_gw_name: str | None
    spoke_gw_size: str | None
    vpc_id: str | None
    region: str | None
    natGwInfos: Sequence[_NatGwDescription] | None
    num_of_spoke: int | None
    def __init__(
        self,
        account_name: str | None = None,
        spoke_gw_name: str | None = None,
        spoke_gw_size: str | None = None,
        vpc_id: str | None = None,
        region: str | None = None,
        natGwInfos: Sequence[_NatGwDescription] | None = None,
        num_of_spoke: int | None = None,
    ) -> None: ...
    def execute(self) -> None: ...
    def undo(self) -> None: ...
    def save_backup(self) -> None: ...

class DeployClassicSpokeGwCmd(AbstractCommand):
    account_name: str | None
    spoke_gw_name: str | None
    spoke_gw_size: str | None
    vpc_id: str | None
    region: str | None
    natGwInfos: Sequence[_NatGwDescription] | None
    def __init__(
        self,
        account_name: str | None = None,
        spoke_gw_name: str | None = None,
        spoke_gw_size: str | None = None,
        vpc_id: str | None = None,
        region: str | None = None,
        natGwInfos: Sequence[_NatGwDescription] | None = None,
    ) -> None: ...
    def execute(self) -> None: ...
    def undo(self) -> None: ...

class SnatEnableMemento(Memento):
    spoke_gw_name: str
    def __init__(self, spoke_gw_name: str) -> None: ...
    def restore(self) -> None: ...
    def toDict(self) -> dict[str, Any]: ...

class SnatCmd:
    spoke_gw_name: str
    def __init__(self, spoke_gw_name: str) -> None: ...
    def _saveMemento(self) -> SnatEnableMemento: ...
    def enable(self) -> SnatEnableMemento: ...
    def disable(self) -> None: ...

class ResizeSpokeGatewayMemento(Memento):
    spoke_gw_name: str
    from_gw_size: str
    to_gw_size: str
    def __init__(self, spoke_gw_name: str, from_gw_size: str, to_gw_size: str) -> None: ...
    def restore(self) -> None: ...
    def toDict(self) -> dict[str, Any]: ...

class ResizeSpokeGatewayCmd:
    spoke_gw_name: str
    from_gw_size: str
    to_gw_size: str
    def __init__(self, spoke_gw_name: str, from_gw_size: str, to_gw_size: str) -> None: ...
    def _saveMemento(self) -> ResizeSpokeGatewayMemento: ...
    def execute(self) -> ResizeSpokeGatewayMemento: ...
