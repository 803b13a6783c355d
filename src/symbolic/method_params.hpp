// The parameters of the methods the symbolic classes share, one Params per
// method: its parser reads it and the class tables make its docstring from
// it, so the two cannot differ. The topology methods are SymDict's, SymList's
// and SymObject's alike; the rest are the rows SymDict and SymList share
// (container/surface.hpp).
#pragma once

#include "py/args.hpp"

namespace vesk::symbolic {

// --- topology methods ------------------------------------------------------------

inline py::Params kTopoSetParentParams{"topo_setparent", {"parent"}, 1, 1};
inline py::Params kTopoSetPathParams{"topo_setpath", {"path"}, 1, 1};
inline py::Params kSymSealParams{"sym_seal", {"is_seal=True"}, 1, 0};
// Passing -1 records what an omitted stack top records.
inline constexpr const char* kSymSetOriginNames[] = {
    "source", "tag", "stacktrace=None", "stacklimit=None", "stacktop=-1"};
inline py::Params kSymSetOriginParams{"sym_setorigin", kSymSetOriginNames, 5, 2};
inline py::Params kUpdateChildrenPathsParams{
    "_update_children_paths", {"_old_path", "new_path"}, 2, 2};

// --- value-spec binding and writes -------------------------------------------------

inline py::Params kUseValueSpecParams{
    "use_value_spec", {"value_spec", "allow_partial=False"}, 2, 1};
inline constexpr const char* kCustomApplyNames[] = {"path", "value_spec", "allow_partial",
                                                     "child_transform=None"};
inline py::Params kCustomApplyParams{"custom_apply", kCustomApplyNames, 4, 3};
inline py::Params kSetItemNoCheckParams{
    "_set_item_without_permission_check", {"key", "value"}, 2, 2};
inline py::Params kCloneIfPrimitiveParams{"_clone_if_primitive"};

// --- raw reads of symbolic walks -----------------------------------------------------

inline py::Params kSymHasattrParams{"sym_hasattr", {"key"}, 1, 1};
inline py::Params kSymGetattrParams{"_sym_getattr", {"key"}, 1, 1};
inline py::Params kSymKeysParams{"sym_keys"};
inline py::Params kSymValuesParams{"sym_values"};
inline py::Params kSymItemsParams{"sym_items"};

}  // namespace vesk::symbolic
