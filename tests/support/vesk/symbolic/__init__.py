"""Stand-in for the package's symbolic layer: the bridges it installs right
after importing the module (container, list and object bridges) and the
classes it composes over the native symbolic bases.

`install()` installs every bridge once per process, after the typing
bridge; the test session calls it at start, and a fresh interpreter may call
it itself. States without a bridge are tested in fresh interpreters.
"""

from vesk.symbolic import containers, objects


def install():
    containers.install()
    objects.install(dict_cls=containers.Dict)
