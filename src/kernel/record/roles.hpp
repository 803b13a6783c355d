// The node-state roles: one numbering of the node state that SymDict,
// SymList, SymObject and records share. A SymNode keeps roles 0 to 5 as
// members; a record keeps all eight in the first cells of its root's
// reserved region, role r in cell r.
#pragma once

#include <cstdint>

// An inline namespace, so code of other layers can take the names alone
// (`using namespace kernel::record::roles;`).
namespace vesk::kernel::record::inline roles {

using Role = std::uint64_t;

inline constexpr Role kRoleParent = 0;
inline constexpr Role kRolePath = 1;
inline constexpr Role kRoleSealed = 2;
inline constexpr Role kRoleAllowPartial = 3;
inline constexpr Role kRoleAccessorWritable = 4;
inline constexpr Role kRoleOrigin = 5;
// A record's materialised `_sym_attributes` view.
inline constexpr Role kRoleView = 6;
// A record's derived caches, which only the package reads and writes.
inline constexpr Role kRoleDerivedCaches = 7;
inline constexpr Role kRoleCount = 8;

// The flag roles hold a truth value: True or False in a record's cell.
[[nodiscard]] constexpr bool is_flag_role(Role role) noexcept {
    return role >= kRoleSealed && role <= kRoleAccessorWritable;
}

}  // namespace vesk::kernel::record::inline roles
