"""Names the test packages this interpreter cannot import, before a suite
starts: without them pytest fails later with an unrelated-looking error (an
unknown `-n` option, a missing module at collection).

    python tools/check_test_deps.py [--workers N]

Exits 0 when everything imports; otherwise prints one line naming the
interpreter and the packages (as Debian and PyPI name them) and exits 1.
xdist is needed only when the suite runs in workers (N > 0)."""

import argparse
import importlib.util
import sys

# module -> package
NEEDED = {
    "pytest": "pytest",
    "pytest_timeout": "pytest-timeout",
    "hypothesis": "hypothesis",
}
WORKERS = {"xdist": "pytest-xdist"}


def missing(workers):
    wanted = dict(NEEDED, **(WORKERS if workers > 0 else {}))
    return [pkg for mod, pkg in wanted.items() if importlib.util.find_spec(mod) is None]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args(argv)
    lacking = missing(args.workers)
    if lacking:
        print(f"{sys.executable} cannot import {', '.join(lacking)}: install them for this "
              "interpreter or put a folder holding them on PYTHONPATH (README, Build and test)",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
