"""Make sure the controller has the access account of the AWS account being migrated."""

import logging

from tidewall.core.Globals import Globals
from tidewall.lib.commonlib import Common
from tidewall.lib.corvane_backend import _send_corvane_api, handleControllerApiFailureAndExit

logger = logging.getLogger("tidewall.lib.cvn_account")

AWS_CLOUD_TYPE = 1


class CreateCorvaneAccount:
    def __init__(self, ca):
        self.ca = ca

    def execute(self):
        Common.logOperation(type(self).__name__)
        url = "https://" + str(Globals.controller_ip) + "/v2/api"
        name = self.ca.aws_account_name
        logger.info("- Check controller access account %s", name)

        if self._exists(url, name):
            logger.info("  Access account %s exists already", name)
            return

        number = self.ca.aws_account_number
        if Globals.dry_run:
            logger.info("  Dry run: would add access account %s for AWS account %s", name, number)
            return
        logger.info("  Add access account %s for AWS account %s", name, number)
        reply = _send_corvane_api(
            api_endpoint_url=url,
            request_method="POST",
            payload={
                "CID": Globals.CID,
                "action": "add_account",
                "account_name": name,
                "cloud_type": AWS_CLOUD_TYPE,
                "aws_account_number": number,
            },
            keyword_for_log="cvn-account---",
            indent="  ",
        ).json()
        if not (isinstance(reply, dict) and reply.get("return") is True) and self._exists(url, name):
            # Another run (a fleet runs several VPCs of one account at once) added it in the meantime.
            logger.info("  Access account %s was added by another run meanwhile", name)
            return
        handleControllerApiFailureAndExit(reply)
        logger.info("  Returned: %s  Result: %s", reply.get("return"), reply.get("results"))

    @staticmethod
    def _exists(url, name):
        """Whether the controller lists the access account `name` (a refused listing ends the run)."""
        reply = _send_corvane_api(
            api_endpoint_url=url,
            request_method="POST",
            payload={"CID": Globals.CID, "action": "list_accounts"},
            keyword_for_log="cvn-account---",
            indent="  ",
        ).json()
        handleControllerApiFailureAndExit(reply)
        results = reply.get("results") or {}
        accounts = results.get("account_list", []) if isinstance(results, dict) else results
        return any(isinstance(a, dict) and a.get("account_name") == name for a in accounts)
