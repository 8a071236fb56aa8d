"""Import the native module built for this interpreter and say where it runs."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "build" / "pkg"))

if sys.version_info[:2] == (3, 14):
    import tovana.core.jobwarden as module
else:
    import tovana.connectors.chatferry as module

print(f"{module.__name__} runs on CPython {sys.version.split()[0]} ({sys.executable})")
