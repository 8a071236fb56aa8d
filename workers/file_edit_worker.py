"""Entry point of the file edit worker; the worker itself is ``_file_edit.py``.

Kept this small because a script run as a program is compiled from source at
every start, while the modules it imports load from their bytecode cache.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _file_edit import main  # noqa: E402

main()
