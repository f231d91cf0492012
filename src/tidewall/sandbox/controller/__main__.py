import sys

from tidewall.sandbox.controller.server import main

sys.exit(main())
