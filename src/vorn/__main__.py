import sys

from vorn.cli import main

sys.exit(main())
