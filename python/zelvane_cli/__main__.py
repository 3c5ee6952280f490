import sys

from zelvane_cli import main

sys.exit(main())
