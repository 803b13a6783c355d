"""Stand-in for the module that owns `MissingValue`: pickles name the class
by this module, so unpickling imports it and takes the native class here."""

from vesk_core._native import MissingValue

__all__ = ["MissingValue"]
