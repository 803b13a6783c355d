"""A key without UTF-8 text (a lone surrogate) in a path: messages name it
with backslash escapes and the intended error is raised, not the encoder's."""

import pytest

from vesk_core._native import Dict, Field, Int, KeyPath, List, Schema

S = "\ud800"


class SurrogateText:
    """A key object whose text holds a lone surrogate."""

    def __str__(self):
        return "k" + S


class Unprintable:
    def __str__(self):
        raise LookupError("no text")


def boom(value):
    raise ZeroDivisionError("boom")


def bad(value):
    raise ValueError("bad")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Dict(Int()).apply({S: "x"}), TypeError,
         "Expect <class 'int'> but encountered <class 'str'>: x. (path=\\ud800)"),
        (lambda: Dict([("a", Int())]).apply({"a": "x"}, root_path=KeyPath(S)), TypeError,
         "Expect <class 'int'> but encountered <class 'str'>: x. (path=\\ud800.a)"),
        (lambda: List(Int()).apply(["x"], root_path=KeyPath(S)), TypeError,
         "Expect <class 'int'> but encountered <class 'str'>: x. (path=\\ud800[0])"),
        (lambda: Int().apply(None, root_path=KeyPath(["a", S, 1])), ValueError,
         "Value cannot be None. (Path='a.\\ud800[1]', ValueSpec=Int())"),
        # Still a name: bracketed because it holds a dot.
        (lambda: Int(min_value=0).apply(-1, root_path=KeyPath(S + ".x")), ValueError,
         "Value -1 is out of range (min=0, max=None). (path=[\\ud800.x])"),
        (lambda: Int().set_transform(boom).apply(1, root_path=KeyPath([S, SurrogateText()])),
         ZeroDivisionError, "boom (path=\\ud800[k\\ud800])"),
        (lambda: Field("a", Int()).set_validator(bad).apply(1, root_path=KeyPath(S)), ValueError,
         "bad (path=\\ud800)"),
        (lambda: Schema([Field("a", Int())]).apply({"a": 1, "b": 2}, root_path=KeyPath(S)),
         KeyError, "Keys ['b'] are not allowed in Schema. (parent='\\ud800')"),
    ],
)
def test_messages_escape_keys_without_utf8_text(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert e.value.args[0] == message


def test_other_failures_of_the_path_text_still_surface():
    with pytest.raises(LookupError, match="^no text$"):
        Int().apply("x", root_path=KeyPath(Unprintable()))
