#include "symbolic/node_ops.hpp"

#include "kernel/record/slots.hpp"
#include "symbolic/dict/dict_type.hpp"
#include "symbolic/list/list_type.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic {

const NodeOps* node_ops(PyObject* value) noexcept {
    if (is_sym_dict(value)) return &kDictNode;
    if (is_sym_list(value)) return &kListNode;
    if (object::is_sym_object(value)) return &kObjectNode;
    return kernel::record::is_record(value) ? &kRecordNode : nullptr;
}

}  // namespace vesk::symbolic
