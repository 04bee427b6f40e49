"""`python -m quillmarrow_engine` runs the quillmarrow-engine command."""

import sys

from .cli import main

sys.exit(main())
