"""`python -m velora`: the command line (see `velora.cli`)."""

import sys

from velora.cli import main

sys.exit(main())
