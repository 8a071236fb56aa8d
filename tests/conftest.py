"""Put the built package tree and the runtime test module on sys.path."""
import os
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# A build tree other than build/ (a sanitizer build, say) can be named here.
BUILD = Path(os.environ.get("TOVANA_BUILD") or ROOT / "build")
TAG = f"py{sys.version_info.major}{sys.version_info.minor}"

sys.path.insert(0, str(BUILD / "pkg"))
sys.path.insert(0, str(BUILD / "testmods" / TAG))

# A module's suite is collected only where the module is built for this
# interpreter.
_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
collect_ignore = [name for name, package in (("jobwarden", "core"), ("chatferry", "connectors"))
                  if not (BUILD / "pkg" / "tovana" / package / (name + _SUFFIX)).exists()]
