"""Put the built package tree and the runtime test module on sys.path."""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# A build tree other than build/ (a sanitizer build, say) can be named here.
BUILD = Path(os.environ.get("TOVANA_BUILD") or ROOT / "build")
TAG = f"py{sys.version_info.major}{sys.version_info.minor}"

sys.path.insert(0, str(BUILD / "pkg"))
sys.path.insert(0, str(BUILD / "testmods" / TAG))

# Each module is built for one interpreter only.
collect_ignore = ["chatferry"] if TAG == "py314" else ["jobwarden"]
