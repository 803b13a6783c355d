"""Stand-in for the package's symbolic layer: the bridges it installs right
after importing the module (container, list and object bridges) and the
classes it composes over the native symbolic bases.

`install()` installs every bridge once per process, after the typing
bridge; the test session calls it at start, and a fresh interpreter may call
it itself. States without a bridge are tested in fresh interpreters.
"""

import vesk_core._native as native
from vesk.symbolic import containers, jsonify, objects


def install():
    containers.install()
    objects.install(dict_cls=containers.Dict)
    native._set_default_object_sym_jsonify(jsonify.sym_jsonify)
