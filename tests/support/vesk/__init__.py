"""Test stand-in for the caller package `vesk`.

It provides only what the native core refers to by name (modules that
pickled values import) and the bridge tables the tests install once per
session.
"""
