import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(_HERE)
PYTHON_DIR = os.path.join(ROOT, "python")
SUPPORT_DIR = os.path.join(_HERE, "support")

for path in (SUPPORT_DIR, PYTHON_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)
