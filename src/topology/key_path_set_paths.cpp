#include "topology/key_path_set_paths.hpp"

#include "py/dict_cursor.hpp"
#include "topology/key_path.hpp"

namespace vesk::topology {

namespace {

// 1 when the Python form of `key` equals the marker, 0 when not, -1 on error.
[[nodiscard]] int key_is_marker(const Key& key, PyObject* form) {
    if (key.is_str()) return key.text() == "$";
    if (key.is_int()) return 0;
    return trie::is_marker(form);
}

class Collector {
public:
    [[nodiscard]] bool init() { out_ = py::Ref::steal(PyList_New(0));
        return static_cast<bool>(out_); }
    [[nodiscard]] py::Ref take() { return std::move(out_); }

    [[nodiscard]] bool walk(PyObject* node) {
        trie::WalkLevel level(guard_, node);
        return level.ok() && walk_entries(node);
    }

private:
    [[nodiscard]] bool walk_entries(PyObject* node) {
        py::DictCursor cursor(node);
        py::Ref key, value;
        int step;
        while ((step = cursor.next(key, value)) == 1) {
            const int mark = trie::is_marker(key.get());
            if (mark < 0) return false;
            if (mark) {
                py::Ref path = make_key_path(prefix_);
                if (!path || PyList_Append(out_.get(), path.get()) < 0) return false;
                continue;
            }
            prefix_.push_back(Key::from_py(key.get()));
            if (!PyDict_Check(value.get())) {
                trie::raise_not_a_node(value.get());
                return false;
            }
            if (!walk(value.get())) return false;
            prefix_.pop_back();
        }
        return step == 0;
    }

    py::Ref out_;
    KeyVec prefix_;
    trie::WalkGuard guard_;
};

}  // namespace

bool path_keys(PyObject* value, PathKeys& out) {
    out.path = key_path_from_value(value);
    if (!out.path) return false;
    const auto keys = keys_of(out.path.get());
    out.keys.clear();
    out.keys.reserve(keys.size());
    out.marker_key.reset();
    for (const Key& key : keys) {
        py::Ref form = key.to_py();
        if (!form) return false;
        if (!out.marker_key) {
            const int mark = key_is_marker(key, form.get());
            if (mark < 0) return false;
            if (mark) out.marker_key = form;
        }
        out.keys.push_back(std::move(form));
    }
    return true;
}

bool storable_path_keys(PyObject* value, PathKeys& out) {
    if (!path_keys(value, out)) return false;
    if (!out.marker_key) return true;
    py::Ref text = cached_path(out.path.get());
    if (!text) return false;
    PyErr_Format(PyExc_ValueError,
                 "KeyPathSet cannot hold the path '%U': its key %R is reserved for the "
                 "end-of-path marker.",
                 text.get(), out.marker_key.get());
    return false;
}

int find_node(PyObject* root, PyObject* value, py::Ref& node, bool& keys_seen) {
    py::Ref path = key_path_from_value(value);
    if (!path) return -1;
    const auto keys = keys_of(path.get());
    keys_seen = !keys.empty();
    py::Ref cur = py::Ref::borrow(root);
    for (const Key& key : keys) {
        py::Ref form = key.to_py();
        if (!form) return -1;
        const int mark = key_is_marker(key, form.get());
        if (mark != 0) return mark < 0 ? -1 : 0;
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(cur.get(), form.get(), &raw);
        if (found <= 0) return found;
        cur = py::Ref::steal(raw);
        if (!PyDict_Check(cur.get())) {
            trie::raise_not_a_node(cur.get());
            return -1;
        }
    }
    node = std::move(cur);
    return 1;
}

py::Ref collect_paths(PyObject* root) {
    Collector collector;
    if (!collector.init() || !collector.walk(root)) return {};
    return collector.take();
}

}  // namespace vesk::topology
