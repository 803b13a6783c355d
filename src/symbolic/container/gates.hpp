// The two permission gates of a container write, as the thread sees them:
// the thread's flag scope decides when it is True or False, the node's own
// flag when it is None or absent. Both are read with one thread-local access.
#pragma once

#include "flags.hpp"

namespace vesk::symbolic {

struct Gates {
    bool sealed = false;
    bool accessor_writable = true;
};

[[nodiscard]] inline Gates effective_gates(bool own_sealed, bool own_accessor_writable) noexcept {
    const flags::Snapshot scopes = flags::snapshot();
    return {scopes.forced(flags::FlagId::Sealed).value_or(own_sealed),
            scopes.forced(flags::FlagId::AccessorWritable).value_or(own_accessor_writable)};
}

}  // namespace vesk::symbolic
