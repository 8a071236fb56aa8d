"""The shipped type stub matches the module's run-time surface."""
from pathlib import Path

import tovana.core.jobwarden as jobwarden
from stubcheck import compare


def test_stub_is_installed_and_matches_the_module():
    stub = Path(jobwarden.__file__).with_name("jobwarden.pyi")
    assert stub.is_file()
    assert (stub.parent.parent / "py.typed").is_file()
    assert compare(stub, jobwarden) == []
