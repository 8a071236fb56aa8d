"""The wheel built for this interpreter (`make wheel`), installed with pip into
a fresh virtual environment beside a host package of its own and used from
outside the source tree: one real task through the pool, one message through
the bridge.  `make test-wheel` names the wheel folder in TOVANA_WHEEL_DIR."""
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import zipfile
from pathlib import Path

import pytest

WHEELS = os.environ.get("TOVANA_WHEEL_DIR")
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"

# The host's source tree: its own packages tovana, tovana.core and
# tovana.connectors, extended over the installed modules, and the gateway the
# bridge looks up.
EXTEND = "__path__ = __import__('pkgutil').extend_path(__path__, __name__)\n"
HOST = {
    "tovana/__init__.py": EXTEND,
    "tovana/core/__init__.py": EXTEND,
    "tovana/connectors/__init__.py": EXTEND,
    "tovana/gateway/__init__.py": "",
    "tovana/gateway/ws.py": """
        class Manager:
            def __init__(self):
                self.payloads = []

            async def broadcast(self, payload):
                self.payloads.append(payload)

        manager = Manager()
    """,
    "tovana/gateway/server.py": """
        class Telegram:
            is_configured = True
            _chat_id = 1

            def __init__(self):
                self.handler = None
                self.replies = []

            def set_message_handler(self, handler):
                self.handler = handler

            async def start(self):
                pass

            async def stop(self):
                pass

            async def send_message(self, text, chat_id=None, parse_mode=None):
                self.replies.append((chat_id, text))
                return {"success": True, "message_ids": [1]}

            async def send_photo(self, path, caption=None, chat_id=None):
                return {"success": True, "message_ids": [2]}

            async def send_typing(self, chat_id=None):
                pass

        class Event:
            def __init__(self, type, **data):
                self.type, self.data = type, data

            def to_dict(self):
                return {"type": self.type, "data": self.data}

        class Agent:
            async def process_message(self, text):
                yield Event("text", content="echo: " + text)

        telegram = Telegram()
        _state = {"connector_manager": {"telegram": telegram}, "agent": Agent()}

        class State:
            def get(self, key):
                return _state.get(key)

        def get_state():
            return State()
    """,
    "app.py": """
        import asyncio, json, sys
        from tovana.core import jobwarden
        from tovana.core.jobwarden import Jobwarden, SubprocessTask, WorkerStatus
        from tovana.connectors import chatferry
        from tovana.gateway import server, ws

        async def main():
            pool = Jobwarden(max_workers=1)
            result = await pool.spawn(SubprocessTask(worker_type="shell",
                                                     command={"command": "echo from the wheel"}))
            await pool.cleanup()

            bridge = chatferry.get_chatferry()
            await bridge.start()
            await server.telegram.handler("hello", {"chat_id": 7, "from_name": "Ana"})
            for _ in range(500):
                if server.telegram.replies:
                    break
                await asyncio.sleep(0.01)
            await bridge.stop()
            print(json.dumps({
                "modules": [jobwarden.__file__, chatferry.__file__],
                "status": result.status is WorkerStatus.COMPLETED,
                "stdout": result.output["stdout"],
                "replies": server.telegram.replies,
                "broadcasts": [p.get("type") for p in ws.manager.payloads],
            }))

        asyncio.run(main())
    """,
}


@pytest.fixture(scope="module")
def wheel():
    if not WHEELS:
        pytest.skip("no wheel folder given (run make test-wheel)")
    found = sorted(Path(WHEELS).glob(f"tovana_native-*-{TAG}-{TAG}-*.whl"))
    assert len(found) == 1, f"expected one {TAG} wheel in {WHEELS}, found {found}"
    return found[0]


@pytest.fixture
def scratch():
    """The venv's and the host's folder, removed when the test ends (pytest
    would keep its own temporary folders, venv included)."""
    with tempfile.TemporaryDirectory(prefix="tovana_wheel_") as folder:
        yield Path(folder)


def test_wheel_installs_beside_the_host_package(wheel, scratch):
    names = zipfile.ZipFile(wheel).namelist()
    files = {n for n in names if not n.startswith("tovana_native-")}
    assert not [n for n in files if n.endswith("__init__.py") or n.endswith("py.typed")]
    assert {"tovana/core/jobwarden.pyi", "tovana/connectors/chatferry.pyi",
            "tovana/workers/shell_worker.py", "tovana/workers/_protocol.py"} <= files

    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    venv = scratch / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], env=env, check=True)
    python = venv / "bin" / "python"
    # pip runs inside the new environment; set-up provides it (TOVANA_WHEEL_TOOLS).
    tools = dict(env, PYTHONPATH=os.environ.get("TOVANA_WHEEL_TOOLS", ""))
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
                    "--disable-pip-version-check", str(wheel)], env=tools, check=True)

    host = scratch / "host"
    for name, text in HOST.items():
        (host / name).parent.mkdir(parents=True, exist_ok=True)
        (host / name).write_text(textwrap.dedent(text))
    out = subprocess.run([str(python), "app.py"], cwd=host, env=env, check=True,
                         capture_output=True, text=True, timeout=60).stdout
    seen = json.loads(out)

    site = Path(subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                               env=env, check=True, capture_output=True, text=True).stdout.strip())
    assert all(Path(m).is_relative_to(site / "tovana") for m in seen["modules"]), seen
    assert not list((site / "tovana").rglob("__init__.py"))
    assert seen["status"] and seen["stdout"] == "from the wheel\n", seen
    assert seen["replies"] == [[7, "echo: hello"]], seen
    assert "telegram_message" in seen["broadcasts"], seen
