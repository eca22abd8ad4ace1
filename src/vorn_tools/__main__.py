import sys

from vorn_tools.cli import main

sys.exit(main())
