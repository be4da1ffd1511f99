import sys

from qn.arm.switch_traffic.cli import main

sys.exit(main())
