"""Test ids that are the same in every process: parallel workers compare
the tests they collected, so an id may not carry an object's address."""

import re


def stable_repr(value):
    return re.sub(r" at 0x[0-9a-fA-F]+", "", repr(value))
