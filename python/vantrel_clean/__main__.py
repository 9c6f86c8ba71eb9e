"""`python -m vantrel_clean clean ...`: the same as the `vantrel` command."""

import sys

from .cli import main

sys.exit(main())
