"""`python3.12 -m tavo`: the tavo command line (see tavo._cli)."""

import sys

from tavo._cli import main

sys.exit(main())
