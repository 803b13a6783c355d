"""The include lines of src/ point one way between rooms
(tools/include_circles.py), and the check itself sees a circle."""

import os
import subprocess
import sys

from conftest import ROOT

sys.path.insert(0, os.path.join(ROOT, "tools"))
import include_circles  # noqa: E402


def test_src_rooms_form_no_circle():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "include_circles.py")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def write(root, path, *includes):
    full = root / path
    full.parent.mkdir(parents=True, exist_ok=True)
    full.write_text("".join(f'#include "{i}"\n' for i in includes))


def test_a_circle_through_three_rooms_is_found_and_the_composition_roots_stand_above(tmp_path):
    write(tmp_path, "a/x.hpp", "b/y.hpp")
    write(tmp_path, "b/y.hpp", "c/z.hpp", "missing/elsewhere.hpp")
    write(tmp_path, "c/z.hpp", "a/x.hpp")
    write(tmp_path, "d/w.hpp", "a/x.hpp")
    # The entry and the registration steps include every room without
    # closing a circle, even when a room includes its own step's header.
    write(tmp_path, "module.cpp", "a/register.hpp", "d/w.hpp")
    write(tmp_path, "a/register.hpp", "a/x.hpp")
    write(tmp_path, "a/register.cpp", "a/register.hpp", "c/z.hpp")
    files, per_edge, sets, in_circle, up = include_circles.measure(str(tmp_path))
    assert sets == [["a", "b", "c"]]
    assert in_circle == [("a", "b"), ("b", "c"), ("c", "a")]
    assert up == 0
    assert files == {"a": 3, "b": 1, "c": 1, "d": 1, ".": 1}
    assert include_circles.main(["--src", str(tmp_path)]) == 1
    (tmp_path / "c/z.hpp").write_text("")
    assert include_circles.main(["--src", str(tmp_path)]) == 0


def test_rooms_that_include_each_other_count_the_thinner_direction(tmp_path):
    write(tmp_path, "a/x.hpp", "b/y.hpp", "b/v.hpp")
    write(tmp_path, "a/u.cpp", "b/y.hpp")
    write(tmp_path, "b/y.hpp", "a/x.hpp")
    write(tmp_path, "b/v.hpp")
    _, per_edge, sets, in_circle, up = include_circles.measure(str(tmp_path))
    assert per_edge[("a", "b")] == 3 and per_edge[("b", "a")] == 1
    assert up == 1 and sets == [["a", "b"]]
