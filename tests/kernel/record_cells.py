"""The record cell-access layer (src/kernel/record/slots.hpp), reached
through the test-only C entry points compiled into development builds."""

import ctypes

import vesk_core._native as native

_lib = ctypes.PyDLL(native.__file__)


def _entry(name, arity):
    fn = getattr(_lib, "vesk_test_record_" + name)
    fn.restype = ctypes.py_object
    fn.argtypes = [ctypes.py_object] * arity
    return fn


read_field = _entry("read_field", 2)
read_fields = _entry("read_fields", 2)
write_fields = _entry("write_fields", 3)
field_written = _entry("field_written", 2)
install_view = _entry("install_view", 2)
read_view = _entry("read_view", 1)
read_descriptor = _entry("read_descriptor", 2)
