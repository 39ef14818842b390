import sys

from vardex.cli import main

sys.exit(main())
