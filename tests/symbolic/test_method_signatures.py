"""What `help()` and `inspect.signature` show of the module's functions and of
the methods of its symbolic classes is what their parsers take: the names,
which parameters may be given by position or by name, which are required,
and the defaults the reader sees."""

import inspect
import json

import pytest

import vesk_core._native as native
from fresh import run_fresh

CLASSES = ["SymDict", "SymList", "SymObject", "SymFieldGetter", "ObjectCtorMeta", "RecordMeta"]


def methods_of(cls):
    return [name for name, member in vars(cls).items()
            if type(member).__name__ in ("method_descriptor", "classmethod_descriptor")]


def module_functions():
    return sorted(name for name, member in vars(native).items()
                  if type(member).__name__ == "builtin_function_or_method")


@pytest.mark.parametrize("member", [
    *[getattr(native, name) for name in module_functions()],
    *[getattr(getattr(native, cls), name) for cls in CLASSES
      for name in methods_of(getattr(native, cls))],
], ids=lambda m: m.__qualname__)
def test_every_function_and_method_has_a_text_signature(member):
    assert member.__text_signature__, member.__doc__
    inspect.signature(member)


@pytest.mark.parametrize("member, text", [
    # What the hand-written docstrings of the kernel showed stays.
    (native._slot_node_set, "(inst, role, value=None)"),
    (native._slot_node_set_if_absent, "(inst, role, value)"),
    (native._kernel_make_record, "(name, field_names, reserved_count, enable_topo=True)"),
    (native._kernel_record_layout, "()"),
    (native._native_to_json_walk, "(value, /)"),
    (native._flag_scope_get, "(flag_id, default)"),
    # A parameter callers may name, and the list mutators that stay positional.
    (native.SymDict.topo_setpath, "(self, /, path)"),
    (native.SymObject.topo_setparent, "(self, /, parent)"),
    (native.SymList.delete_and_notify, "(self, /, i)"),
    (native.SymList.append, "(self, value, /)"),
    (native.SymList.extend, "(self, other, /)"),
    (native.SymList.sort, "(self, /, *, key=None, reverse=False)"),
    # Defaults as the reader may pass them.
    (native.SymDict.sym_seal, "(self, /, is_seal=True)"),
    (native.SymList.sym_setorigin,
     "(self, /, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)"),
    (native.SymDict.use_value_spec, "(self, /, value_spec, allow_partial=False)"),
    (native.SymDict.get, "(self, /, key, default=None)"),
    (native.SymObject.field_dict, "(self, /)"),
    # A class shows its constructor's.
    (native.SymFieldGetter, "(name)"),
])
def test_signatures(member, text):
    assert str(inspect.signature(member)) == text


def test_module_functions_keep_their_receiver_positional():
    assert native._slot_node_set.__text_signature__ == "($module, /, inst, role, value=None)"
    assert native._native_to_json_walk.__text_signature__ == "($module, value, /)"
    assert native._kernel_topology_reserved.__text_signature__ == "($module, /)"


def test_the_shown_defaults_behave_as_omitted_ones():
    from helpers import Dict, List
    d = Dict()
    assert d.sym_seal(is_seal=True) is d and d._sealed
    lst = List([])
    lst.sym_setorigin("src", "tag", stacktrace=None, stacklimit=None, stacktop=-1)
    explicit = lst._sym_origin.stacktop
    lst.sym_setorigin("src", "tag")
    assert explicit == lst._sym_origin.stacktop == -2
    assert native._kernel_make_record("T", ["a"], 9, enable_topo=True)().__class__.__name__ == "T"


# Calls every function and method the way its signature says it may be
# called, and the ways it says it may not, with stand-in arguments: a call
# the signature allows must pass the parser (whatever the function then
# makes of the arguments), one it forbids must be refused by it. Run in a
# fresh interpreter: the installers would otherwise keep those arguments.
PROBE = r"""
import inspect, json, re
import vesk.symbolic, vesk.typing
vesk.typing.install()
vesk.symbolic.install()
import vesk_core._native as native

PARSER = re.compile(
    r"takes no positional arguments|takes at most \d+ positional argument|"
    r"got an unexpected keyword argument|given by name \(|missing required argument|"
    r"takes no keyword arguments|takes exactly one argument|takes no arguments")


def outcome(name, call):
    try:
        call()
    except TypeError as e:
        text = str(e)
        if PARSER.search(text):
            return "refused" if f"{name}()" in text else f"refused as another function: {text}"
    except Exception:
        pass
    return "passed"


def instances():
    def blank_object():
        return native.SymObject.__new__(native.SymObject)
    return {"SymDict": native.SymDict, "SymList": native.SymList, "SymObject": blank_object}


def targets():
    # Installers last: the arguments they keep are stand-ins.
    functions = sorted((n for n, f in vars(native).items()
                        if type(f).__name__ == "builtin_function_or_method"),
                       key=lambda n: (n.startswith(("_install", "_set_default")), n))
    for cls_name, make in instances().items():
        cls = getattr(native, cls_name)
        for name, member in vars(cls).items():
            if type(member).__name__ == "method_descriptor":
                yield f"{cls_name}.{name}", name, (lambda make=make, name=name: getattr(make(), name))
    for name in functions:
        yield name, name, (lambda name=name: getattr(native, name))


def calls(params):
    # (what the call is, whether the parser must take it, args, kwargs)
    plain = [p for p in params if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    stand_in = {p.name: (p.default if p.default is not p.empty else object()) for p in plain}
    required = [p for p in plain if p.default is p.empty]

    def split(chosen, by_position=lambda p: p.kind is p.POSITIONAL_ONLY):
        args = [stand_in[p.name] for p in chosen if by_position(p)]
        kwargs = {p.name: stand_in[p.name] for p in chosen if not by_position(p)}
        return args, kwargs

    yield ("every parameter, named where it may be", True, *split(plain))
    yield ("the required ones", True, *split(required))
    yield ("positionally where it may be", True,
           *split(plain, lambda p: p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)))
    for p in required:
        yield (f"without {p.name}", False, *split([q for q in plain if q is not p]))
    for p in plain:
        if p.kind is p.POSITIONAL_ONLY:
            yield (f"{p.name} by name", False, *split(plain, lambda q: q is not p and
                                                        q.kind is q.POSITIONAL_ONLY))
        if p.kind is p.KEYWORD_ONLY:
            # Everything before it by position, then it.
            before = [q for q in plain if q.kind is not q.KEYWORD_ONLY]
            yield (f"{p.name} by position", False,
                   [stand_in[q.name] for q in before] + [stand_in[p.name]], {})
    if not any(p.kind is p.VAR_KEYWORD for p in params):
        args, kwargs = split(plain)
        yield ("an unknown keyword", False, args, {**kwargs, "zz_no_such_parameter": 1})


problems = []
for label, name, bound in targets():
    try:
        params = list(inspect.signature(bound()).parameters.values())
    except ValueError as e:
        problems.append(f"{label}: no signature ({e})")
        continue
    for what, allowed, args, kwargs in calls(params):
        got = outcome(name, lambda: bound()(*args, **kwargs))
        if got != ("passed" if allowed else "refused"):
            problems.append(f"{label} {what}: {got}")
print(json.dumps(problems))
"""


def test_every_parser_takes_what_its_signature_shows():
    out = run_fresh(PROBE).stdout
    assert json.loads(out.strip().splitlines()[-1]) == []
