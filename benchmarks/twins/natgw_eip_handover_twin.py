"""Plain-Python twin of tidewall.commands.natgw_eip_handover, written for the cost benchmark only.

Same outside names, same calls in the same order, same texts as the extension module, so that
both can be run side by side with the same recording stand-ins. Nothing in the tool imports it.
"""

import logging
import os
import traceback

from tidewall.commands.base_case_handler import BaseCaseHandler, logged
from tidewall.commands.history import CommandHistory, MementoHistory
from tidewall.core.ConfigAdaptor import ConfigAdaptor
from tidewall.core.exceptions import CorvaneRollbackException
from tidewall.core.Globals import Globals
from tidewall.lib.aws_cred import AwsClientManager
from tidewall.lib.corvane_backend import getCid
from tidewall.lib.cvn_account import CreateCorvaneAccount
from tidewall.lib.gateway_size import DetermineGwSizeCmd
from tidewall.lib.natgw import NatGwCmd, get_existing_natgws, get_natgw_by_subnet
from tidewall.lib.route_table import NatGwTrafficCmd, SnapshotRTCmd, backupAllRtbs
from tidewall.lib.s3 import S3BackupCmdV2
from tidewall.lib.spoke import HsSpokeCmd, ResizeSpokeGatewayCmd, SnatCmd
from tidewall.lib.test import Test, TestCmd

LOGGER = "tidewall.commands.natgw_eip_handover"


def _normalise_spoke_tag(logger, ca):
    configured = ca.spoke_gw_tag
    if configured is None or len(configured) == 0:
        return None
    if ":" in configured:
        return configured
    items = configured.lstrip(",").split(",")
    count = len(items)
    if count % 2 != 0:
        logger.error("spoke_gw_tag: " + configured + " mismatched")
        exit(1)
    pairs = ""
    for i in range(0, count, 2):
        pairs = pairs + "," + items[i] + ":" + items[i + 1]
    return pairs.lstrip(",")


def _discover(ca, ec2_client, cw_client, vpc_backup_folder):
    nat_gws = get_existing_natgws(ec2_client, None, ca.vpc_id)
    if ca.hs_mode == 2:
        num_of_spoke = len(nat_gws)
    else:
        limit = Globals.HS_LIMIT
        count = len(nat_gws)
        num_of_spoke = limit if limit < count else count
    nat_gw_ids = [nat_gw["NatGatewayId"] for nat_gw in nat_gws]
    backupAllRtbs(ec2_client, vpc_backup_folder, ca.vpc_id, ca.tag_route_table, nat_gw_ids, version="v2")
    gw_size_cmd = DetermineGwSizeCmd(ec2_client, cw_client, num_of_spoke, nat_gws)
    gw_size_cmd.execute()
    nat_gw_infos = gw_size_cmd.getNatGwInfo()
    CommandHistory.log_discover_natgw_cmd(nat_gw_infos)
    if len(nat_gw_infos) == 0:
        print("**Error** cleanup has been done, rollback is not allowed!")
        exit(1)
    if len(nat_gw_infos) == 1:
        print("**Error** natgw_eip_handover requires two Natgw, only 1 is found")
        exit(1)


def _test_targets(nat_gw_infos):
    return [
        {
            "nat_gw_id": x["nat_gw_id"],
            "gw_name": x["nat_gw_id"],
            "gw_public_ip": x["eip"],
            "gw_private_ip": x["private_ip"],
            "gw_subnet_id": x["subnet_id"],
        }
        for x in nat_gw_infos
    ]


def _restore_or_put_back(memento, mark):
    try:
        memento.restore()
    except BaseException:
        if mark:
            MementoHistory.append(memento, MarkBegin=True)
        else:
            MementoHistory.append(memento)
        raise


class _Steps:
    def __init__(self, logger, ca, ec2_client, vpc_backup_folder, spoke_gw_tag, nat_gw_infos):
        self.logger = logger
        self.ca = ca
        self.ec2_client = ec2_client
        self.vpc_backup_folder = vpc_backup_folder
        self.spoke_gw_tag = spoke_gw_tag
        self.nat_gw_infos = nat_gw_infos
        self.spoke_info = None

    def drawn(self):
        return next(self.is_memento_exist)

    def run(self):
        ca = self.ca
        self.is_memento_exist = MementoHistory.is_memento_exist()
        if ca.enable_test == True and not self.drawn():  # noqa: E712
            cmd = TestCmd(ca.input_test_config, ca.output_test_config, _test_targets(self.nat_gw_infos))
            MementoHistory.append(cmd.execute())
        stopped = False
        for i, rec in enumerate(self.nat_gw_infos):
            if ca.hs_mode == 1 and i > 1:
                continue
            if Globals.cmdcnt >= 0 and i >= Globals.cmdcnt:
                self.logger.info("- Terminate with command count " + str(Globals.cmdcnt))
                stopped = True
                break
            if i == 0:
                self.replace_first(rec)
            else:
                self.replace_next(rec)
            self.acceptance_test()
        if not stopped:
            self.resize_primary()

    def snapshot(self, tag):
        ca = self.ca
        return SnapshotRTCmd(
            self.ec2_client,
            self.vpc_backup_folder,
            ca.vpc_id,
            self.nat_gw_infos,
            ca.s3_bucket,
            tag=tag,
            version="v2",
        ).execute()

    def delete_nat_gateway(self, rec):
        return NatGwCmd(self.ec2_client, self.ca.vpc_id, self.vpc_backup_folder, version="v2").delete(rec)

    def create_spoke(self, rec, primary, size_key):
        ca = self.ca
        cmd = HsSpokeCmd(
            ca.aws_account_name, ca.spoke_gw_name, ca.spoke_gw_size, ca.vpc_id, ca.region, primary=primary
        )
        spoke_memento = cmd.create(rec["subnet_cidr"], rec["eip"], rec[size_key], tag=self.spoke_gw_tag)
        self.spoke_info = spoke_memento.getSpokeInfo()
        MementoHistory.append(spoke_memento)

    def replace_first(self, rec):
        infos = self.nat_gw_infos
        if not self.drawn():
            MementoHistory.append(self.snapshot("s1"), MarkBegin=True)
        if not self.drawn():
            cmd = NatGwTrafficCmd(
                self.ec2_client,
                infos[0]["nat_gw_id"],
                infos[0]["subnet_id"],
                self.ca.vpc_id,
                self.vpc_backup_folder,
                tag="s1",
            )
            MementoHistory.append(cmd.moveTraffic(infos[1]["subnet_id"]))
        if not self.drawn():
            MementoHistory.append(self.delete_nat_gateway(rec))
        if not self.drawn():
            self.create_spoke(rec, True, "initial_size")
        else:
            self.spoke_info = None
        if not self.drawn():
            MementoHistory.append(self.snapshot("s2"))
        if not self.drawn():
            MementoHistory.append(SnatCmd(self.ca.spoke_gw_name).enable())

    def replace_next(self, rec):
        if not self.drawn():
            MementoHistory.append(self.delete_nat_gateway(rec), MarkBegin=True)
        if not self.drawn():
            self.create_spoke(rec, False, "size")
        else:
            self.spoke_info = None

    def acceptance_test(self):
        ca = self.ca
        if not ca.enable_test == True or self.spoke_info is None:  # noqa: E712
            return
        Test.generate_test_config(ca.input_test_config, ca.output_test_config, self.spoke_info)
        if Test.run_test() == False:  # noqa: E712
            raise CorvaneRollbackException("EC2 test failure")

    def resize_primary(self):
        ca = self.ca
        if ca.spoke_gw_size is not None:
            return
        infos = self.nat_gw_infos
        if not infos[0]["size"] != infos[0]["initial_size"]:
            return
        if self.drawn():
            return
        MementoHistory.append(
            ResizeSpokeGatewayCmd(ca.spoke_gw_name, infos[0]["initial_size"], infos[0]["size"]).execute()
        )


def _roll_back_current_group(logger, e):
    try:
        logger.error("  **Error** " + str(e))
        traceback.print_exc()
        while not MementoHistory.isEmpty():
            is_cmd_begin = MementoHistory.isCmdBegin()
            memento = MementoHistory.pop()
            _restore_or_put_back(memento, is_cmd_begin)
            if is_cmd_begin:
                break
    except Exception as failure:
        logger.error("  **Error** " + str(failure))
        traceback.print_exc()


class Manager(BaseCaseHandler):
    @classmethod
    def get_natgw_id_by_subnet(cls, ec2_client, subnet_id, vpc_id):
        logger = logging.getLogger(LOGGER)
        natgws = get_natgw_by_subnet(ec2_client, subnet_id, vpc_id)
        if len(natgws) < 1:
            logger.info("  No Natgw found in " + vpc_id + "::" + subnet_id)
            return None
        return natgws[0]

    @classmethod
    def get_natgw_infos(cls, ec2_client, ca):
        nat_gw_infos = CommandHistory.get_discovered_natgws()
        for x in nat_gw_infos:
            latest_nat = cls.get_natgw_id_by_subnet(ec2_client, x["subnet_id"], ca.vpc_id)
            if latest_nat is None:
                continue
            x["nat_gw_id"] = latest_nat["NatGatewayId"]
            x["private_ip"] = latest_nat["NatGatewayAddresses"][0]["PrivateIp"]
            x["eip"] = latest_nat["NatGatewayAddresses"][0]["PublicIp"]
        return nat_gw_infos

    @classmethod
    @logged
    def execute(cls, config):
        logger = logging.getLogger(LOGGER)
        ca = ConfigAdaptor(config)
        client_mgr = AwsClientManager(config)
        Globals.aws_client_manager = client_mgr
        ec2_client = client_mgr.getEc2Client()
        cw_client = client_mgr.getCwClient()
        s3_client = client_mgr.getS3Client()
        password = os.environ.get(ca.controller_password_env)
        _, cid = getCid(ca.controller_ip, ca.controller_user, password)
        Globals.CID = cid
        Globals.controller_ip = ca.controller_ip
        CreateCorvaneAccount(ca).execute()
        backup_des = ca.backup_descriptor
        S3BackupCmdV2(s3_client, backup_des).download()
        vpc_backup_folder = backup_des.getAbsolutePath()
        CommandHistory.init(vpc_backup_folder, ca.vpc_id, version="v2")
        spoke_gw_tag = _normalise_spoke_tag(logger, ca)
        if not CommandHistory.is_command_i_done(0):
            _discover(ca, ec2_client, cw_client, vpc_backup_folder)
        nat_gw_infos = cls.get_natgw_infos(ec2_client, ca)
        MementoHistory.init(vpc_backup_folder)
        try:
            _Steps(logger, ca, ec2_client, vpc_backup_folder, spoke_gw_tag, nat_gw_infos).run()
        except CorvaneRollbackException as e:
            _roll_back_current_group(logger, e)
            S3BackupCmdV2(s3_client, backup_des).upload()
            exit(1)
        S3BackupCmdV2(s3_client, backup_des).upload()

    @classmethod
    @logged
    def revert(cls, config):
        ca = ConfigAdaptor(config)
        password = os.environ.get(ca.controller_password_env)
        client_mgr = AwsClientManager(config)
        Globals.aws_client_manager = client_mgr
        s3_client = client_mgr.getS3Client()
        _, cid = getCid(ca.controller_ip, ca.controller_user, password)
        Globals.CID = cid
        Globals.controller_ip = ca.controller_ip
        CreateCorvaneAccount(ca).execute()
        backup_des = ca.backup_descriptor
        S3BackupCmdV2(s3_client, backup_des).download()
        folder = backup_des.getAbsolutePath()
        MementoHistory.init(folder)
        while not MementoHistory.isEmpty():
            is_cmd_begin = MementoHistory.isCmdBegin()
            memento = MementoHistory.pop()
            _restore_or_put_back(memento, is_cmd_begin)
        S3BackupCmdV2(s3_client, backup_des).upload()

    @classmethod
    def cleanup(cls, config):
        logging.getLogger(LOGGER).info("Not implemented")
