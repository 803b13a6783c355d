#include "py/signature.hpp"

#include <deque>
#include <mutex>

namespace vesk::py::detail {

const char* keep_doc(std::string text) {
    // Method tables point at these texts for the life of the process.
    static std::mutex LOCK;
    static std::deque<std::string> KEPT;
    std::lock_guard<std::mutex> guard(LOCK);
    return KEPT.emplace_back(std::move(text)).c_str();
}

std::string params_text(const ParamsView& params, std::initializer_list<const char*> defaults) {
    std::string out;
    const char* const* next_default = defaults.begin();
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        if (i > 0) out += ", ";
        if (i == params.positional) out += "*, ";
        out += params.names[i];
        if (i >= params.required) {
            out += '=';
            out += next_default != defaults.end() ? *next_default++ : "None";
        }
    }
    if (params.keywords != Keywords::Reject) {
        if (!out.empty()) out += ", ";
        out += "**kwargs";
    }
    return out;
}

const char* compose_doc(const char* name, const std::string& params, DocReceiver receiver,
                        const char* doc) {
    std::string text = name;
    text += '(';
    if (receiver != DocReceiver::None) {
        text += receiver == DocReceiver::Instance ? "$self" : "$cls";
        if (!params.empty()) text += ", ";
    }
    text += params;
    text += ")\n--\n\n";
    if (doc) text += doc;
    return keep_doc(std::move(text));
}

}  // namespace vesk::py::detail
