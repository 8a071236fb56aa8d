"""The shipped type stub matches the module's run-time surface."""
from pathlib import Path

import tovana.connectors.chatferry as chatferry
from stubcheck import compare


def test_stub_is_installed_and_matches_the_module():
    stub = Path(chatferry.__file__).with_name("chatferry.pyi")
    assert stub.is_file()
    assert (stub.parent.parent / "py.typed").is_file()
    assert compare(stub, chatferry) == []
