#include "topology/key_path_set_paths.hpp"

#include "py/dict_snapshot.hpp"
#include "topology/key_path.hpp"
#include "topology/path_text.hpp"

namespace vesk::topology {

namespace {

// 1 when the Python form of `key` equals the marker, 0 when not, -1 on error.
[[nodiscard]] int key_is_marker(const Key& key, PyObject* form) {
    if (key.is_str()) return key.text() == "$";
    if (key.is_int()) return 0;
    return trie::is_marker(form);
}

// Whether an exact str is the one-character text "$".
[[nodiscard]] bool is_dollar(PyObject* str) noexcept {
    return PyUnicode_GET_LENGTH(str) == 1 && PyUnicode_READ_CHAR(str, 0) == '$';
}

// Scans a path text of the shape most paths have: names joined by '.' and
// integer indices written '[', an optional '-', up to 18 ASCII digits, ']'
// (so they fit 64 bits). Gives the keys the full scanner gives for such a
// text; any other text (other bracketed keys, nesting, unbalanced brackets,
// more than kMaxSegments keys) answers false and is left to the full scanner.
[[nodiscard]] bool quick_scan(std::string_view text, PathForms::Segment* out,
                              std::size_t& count) noexcept {
    count = 0;
    auto push = [&](PathForms::Segment seg) {
        if (count == PathForms::kMaxSegments) return false;
        out[count++] = seg;
        return true;
    };
    const std::size_t n = text.size();
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (c == ']') return false;
        if (c != '.' && c != '[') {
            ++i;
            continue;
        }
        if (i > start && !push({text.substr(start, i - start), 0, false})) return false;
        if (c == '.') {
            start = ++i;
            continue;
        }
        std::size_t j = i + 1;
        const bool negative = j < n && text[j] == '-';
        if (negative) ++j;
        const std::size_t digits = j;
        std::int64_t v = 0;
        while (j < n && j - digits < 18 && text[j] >= '0' && text[j] <= '9')
            v = v * 10 + (text[j++] - '0');
        if (j == digits || j >= n || text[j] != ']') return false;
        if (!push({{}, negative ? -v : v, true})) return false;
        start = i = j + 1;
    }
    return start >= n || push({text.substr(start), 0, false});
}

class Collector {
public:
    [[nodiscard]] bool init() {
        out_ = py::Ref::steal(PyList_New(0));
        return static_cast<bool>(out_);
    }
    [[nodiscard]] py::Ref take() { return std::move(out_); }

    [[nodiscard]] bool walk(PyObject* node) {
        trie::WalkLevel level(guard_, node);
        return level.ok() && walk_entries(node);
    }

private:
    [[nodiscard]] bool walk_entries(PyObject* node) {
        py::DictSnapshot entries(node);
        py::Ref key, value;
        int step;
        while ((step = entries.next(key, value)) == 1) {
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

bool PathForms::init(PyObject* value) {
    value_ = value;
    if (is_key_path(value)) {
        objects_ = key_objects(value);
        if (!objects_) return false;
        keys_ = keys_of(value);
        size_ = keys_.size();
        mode_ = Mode::Objects;
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        if (!utf8_of(value, text)) return false;
        if (!text.empty() && text.find_first_of(".[]") == std::string_view::npos) {
            // One name key, whose Python form is a str with this very text.
            size_ = 1;
            mode_ = Mode::Own;
            return true;
        }
        if (quick_scan(text, segments_, size_)) {
            mode_ = Mode::Segments;
            return true;
        }
    } else if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        // One key whose Python form equals the value itself: an int key, or
        // the object itself for a bool or an int past 64 bits.
        size_ = 1;
        mode_ = Mode::Own;
        return true;
    }
    path_ = key_path_from_value(value);
    if (!path_) return false;
    keys_ = keys_of(path_.get());
    size_ = keys_.size();
    mode_ = Mode::Keys;
    return true;
}

py::Ref PathForms::form(std::size_t i) const {
    switch (mode_) {
        case Mode::Own: return py::Ref::borrow(value_);
        case Mode::Objects:
            return py::Ref::borrow(PyTuple_GET_ITEM(objects_, static_cast<Py_ssize_t>(i)));
        case Mode::Segments: {
            const Segment& seg = segments_[i];
            if (seg.is_int) return py::Ref::steal(PyLong_FromLongLong(seg.number));
            return py::Ref::steal(PyUnicode_DecodeUTF8(
                seg.name.data(), static_cast<Py_ssize_t>(seg.name.size()), nullptr));
        }
        case Mode::Keys: break;
    }
    return keys_[i].to_py();
}

int PathForms::is_marker(std::size_t i, PyObject* form) const {
    switch (mode_) {
        case Mode::Own: return PyUnicode_CheckExact(value_) && is_dollar(value_);
        case Mode::Segments: return !segments_[i].is_int && segments_[i].name == "$";
        case Mode::Objects:
        case Mode::Keys: break;
    }
    return key_is_marker(keys_[i], form);
}

bool path_keys(PyObject* value, PathKeys& out) {
    PathForms forms;
    if (!forms.init(value)) return false;
    out.keys.clear();
    out.keys.reserve(forms.size());
    out.marker_key.reset();
    for (std::size_t i = 0; i < forms.size(); ++i) {
        py::Ref form = forms.form(i);
        if (!form) return false;
        if (!out.marker_key) {
            const int mark = forms.is_marker(i, form.get());
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
    py::Ref path = key_path_from_value(value);
    py::Ref text = path ? cached_path(path.get()) : py::Ref();
    if (!text) return false;
    PyErr_Format(PyExc_ValueError,
                 "KeyPathSet cannot hold the path '%U': its key %R is reserved for the "
                 "end-of-path marker.",
                 text.get(), out.marker_key.get());
    return false;
}

int find_node(PyObject* root, PyObject* value, py::Ref& node, bool& keys_seen) {
    PathForms forms;
    if (!forms.init(value)) return -1;
    keys_seen = forms.size() != 0;
    py::Ref cur = py::Ref::borrow(root);
    for (std::size_t i = 0; i < forms.size(); ++i) {
        py::Ref form = forms.form(i);
        if (!form) return -1;
        const int mark = forms.is_marker(i, form.get());
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
