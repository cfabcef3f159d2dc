"""python3 -m pelmo: the pelmo command."""
from .cli import run

run()
