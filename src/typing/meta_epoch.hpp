// Read sections over published field records: how a record that a change
// unpublished is freed only once no reader can still be using it.
//
// Readers borrow a field's published record with one atomic load and use it
// for the rest of a driver call, across calls into Python. A reader marks the
// span in which it may hold such borrowed records with a `ReadSection`. On
// entering the outermost section of its thread it stores the current epoch
// into its own thread's slot; on leaving it stores zero. Nested sections only
// count. Nothing is written to any shared object: the slot belongs to the
// thread, and the epoch is only read.
//
// A writer that unpublishes a record first stores null into the field's slot,
// then moves the epoch on to `e` and keeps the record with that tag. The
// record may be freed once every thread's slot reads zero (outside every
// section) or at least `e` (it entered after the record was unpublished, so
// it can only have loaded null or a newer record). All of these, the
// reader's load of the record's pointer included, are sequentially
// consistent operations, which is what makes the argument hold: with an
// acquire load the reader's load could take effect before its slot's store.
// Only the reader's store of zero on leaving is a release store: a writer
// that reads it has seen every use the section made of its records.
//
// The thread registry is taken only by writers (to scan), by a thread's first
// section and at thread exit. The child of a fork starts a registry of its
// own that holds only the forking thread: the others are gone, and their
// slots would otherwise hold back every record retired in the child.
#pragma once

#include <cstdint>

namespace vesk::typing::field {

class ReadSection {
public:
    ReadSection() noexcept;
    ~ReadSection();
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;
};

// Moves the epoch on and returns the new value: the tag of a record
// unpublished just before.
[[nodiscard]] std::uint64_t retire_epoch() noexcept;

// Whether a record tagged `epoch` can no longer be in any reader's hands.
[[nodiscard]] bool retired_before_every_reader(std::uint64_t epoch) noexcept;

}  // namespace vesk::typing::field
