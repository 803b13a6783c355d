// The placements of a construction's children: kept until the construction
// has given every child its parent (a pass after the adoption), and only
// then made to take effect (claim.hpp), so a write meeting one of the
// children meanwhile finds it being placed, not free. A child found held
// elsewhere by then is replaced by what adoption makes of it then (a clone,
// or the child shared), or the construction fails with its refusal.
#pragma once

#include "symbolic/adoption.hpp"

#include <vector>

namespace vesk::symbolic {

class KeptPlacements {
public:
    KeptPlacements() = default;
    KeptPlacements(const KeptPlacements&) = delete;
    KeptPlacements& operator=(const KeptPlacements&) = delete;
    // A construction that fails first: what it stamped on each child stands.
    ~KeptPlacements() {
        for (Adoption& k : kept_) k.abandon_stamped(parented_);
    }

    // The construction's pass giving the children their parent has run.
    void parented() noexcept { parented_ = true; }

    // The value to store under `key` for `child` (the child or its clone);
    // a placement it made is kept. Null with an exception.
    [[nodiscard]] py::Ref adopt(PyObject* child, const AdoptArgs& args) {
        Adoption adopted;
        if (!adopt_child(child, args, adopted)) return {};
        py::Ref value = adopted.value;
        if (adopted.claim.held()) kept_.push_back(std::move(adopted));
        return value;
    }

    // Makes the kept placements take effect, in order. Where a child is
    // held elsewhere by now, `replace(key, child, value)` stores and parents
    // `value` in its place (0 or -1). 0, or -1 at the first failure.
    template <class Replace>
    [[nodiscard]] int take_effect(Replace&& replace) {
        for (Adoption& k : kept_) {
            py::Ref child = k.value;
            if (k.take_effect() < 0) return -1;
            if (k.value.get() != child.get() && replace(k.args().key, child.get(), k.value.get()) < 0)
                return -1;
            k.mark_stored();
        }
        kept_.clear();
        return 0;
    }

private:
    std::vector<Adoption> kept_;
    bool parented_ = false;
};

}  // namespace vesk::symbolic
