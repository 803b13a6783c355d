import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(_HERE)
PYTHON_DIR = os.path.join(ROOT, "python")
SUPPORT_DIR = os.path.join(_HERE, "support")

for path in (SUPPORT_DIR, PYTHON_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

# CI runs the property tests on a fixed sequence of examples, so a run is
# reproducible and a landing is never decided by a lucky draw; local runs
# keep exploring new examples.
from hypothesis import settings

settings.register_profile("ci", derandomize=True, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


import pytest  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def typing_bridge():
    """The stand-in typing bridge, installed once for the whole session, as
    the package does right after import. States without it are tested in
    fresh interpreters (fresh.py)."""
    import vesk.typing

    vesk.typing.install()
