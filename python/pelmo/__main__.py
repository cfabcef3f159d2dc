"""python3 -m pelmo: the pelmo command."""
import sys

from .cli import main

sys.exit(main())
