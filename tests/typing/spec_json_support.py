"""What the JSON tests of value specs share: the spec classes, and a class
and a function that the stand-in bridge spells by their dotted names."""

import vesk_core._native as native

(Any, Bool, Callable, Dict, Enum, Float, Functor, Int, List, Object, Str, Tuple, Type,
 Union) = (native.Any, native.Bool, native.Callable, native.Dict, native.Enum, native.Float,
           native.Functor, native.Int, native.List, native.Object, native.Str, native.Tuple,
           native.Type, native.Union)


class Klass:
    pass


def tf(value):
    return value
