"""`python -m quillmarrow_engine.cli` runs the quillmarrow-engine command."""

import sys

from . import main

sys.exit(main())
