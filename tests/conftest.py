"""Put the built package tree and the runtime test module on sys.path."""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"
TAG = f"py{sys.version_info.major}{sys.version_info.minor}"

sys.path.insert(0, str(BUILD / "pkg"))
sys.path.insert(0, str(BUILD / "testmods" / TAG))

# Each module is built for one interpreter only.
collect_ignore = ["chatferry"] if TAG == "py314" else ["jobwarden"]
