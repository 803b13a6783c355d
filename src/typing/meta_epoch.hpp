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
#include <memory>
#include <new>

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

// The epoch the oldest section still open began in (the largest value when
// none is open): a record tagged at most this is in no reader's hands. One
// look at every thread, for a caller with many records to test.
[[nodiscard]] std::uint64_t oldest_section() noexcept;

// What holds a record readers may still borrow after its owner let it go
// (the owner died, was cleared by the collector, or replaced it): freed by
// `retire_later` once no reader can hold it.
class Retired {
public:
    virtual ~Retired() = default;
};

// Keeps `record`, tagged `epoch` (its retirement), until no thread's section
// began before that epoch, and frees the records kept so whose time has
// come. Records are freed on an attached thread outside any lock, as Python
// objects they hold may go with them. Out of memory keeps `record` for good
// rather than free it under a reader.
void retire_later(std::unique_ptr<Retired> record, std::uint64_t epoch) noexcept;

// The same for a shared record `T` whose last holder may be this one.
template <class T>
void retire_shared(std::shared_ptr<const T> record) noexcept {
    struct Holder final : Retired {
        std::shared_ptr<const T> record;
    };
    if (!record) return;
    Holder* holder = new (std::nothrow) Holder;
    if (!holder) {
        // Kept for good rather than freed under a reader.
        (void)new (std::nothrow) std::shared_ptr<const T>(std::move(record));
        return;
    }
    holder->record = std::move(record);
    retire_later(std::unique_ptr<Retired>(holder), retire_epoch());
}

}  // namespace vesk::typing::field
