import sys
from pathlib import Path

# The stream model lives beside the tests and is imported as a plain module.
sys.path.insert(0, str(Path(__file__).resolve().parent))
