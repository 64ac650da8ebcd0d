// Record.h: what a record carries beyond its call trace, chain, detail level
// and strategy, and the library's own access to it. Internal; not installed.

#ifndef QUORBEL_RECORD_H
#define QUORBEL_RECORD_H

#include "StdException"
#include "ThrowSite"

#include <cstddef>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {

// CaptureRef: a reference to what the capture library recorded for one
// throw, shared by the copies of the records that took it; empty without one.
class CaptureRef {
public:
    CaptureRef() : capture(nullptr) {}
    // CaptureRef: takes over a reference that the capture library gave.
    explicit CaptureRef(void* acquired) : capture(acquired) {}
    CaptureRef(const CaptureRef& other);
    CaptureRef& operator=(const CaptureRef& other);
    ~CaptureRef();
    // Get: the capture, or null.
    void* Get() const { return capture; }

private:
    void* capture;
};

// RecordExtras: the private slot of a record, made only when it has
// something to keep. Copies of a record get copies of it.
struct RecordExtras {
    typedef std::vector<std::pair<std::string, FieldValue>> Fields;

    CaptureRef site;         // what was recorded of the throw site
    std::string thrownType;  // readable type of the foreign object thrown, if any
    Fields fields;           // in the order in which their keys were first set
};

// RecordAccess: the library's access to a record's private slot.
struct RecordAccess {
    static const RecordExtras* Extras(const StdException& e) { return e.extras.get(); }
    // Extras: the slot of e, made empty if e has none yet.
    static RecordExtras& Extras(StdException& e) {
        if (e.extras.get() == nullptr) e.extras.reset(new RecordExtras);
        return *e.extras;
    }
    // CopyExtras: gives to a copy of what from has (its own slot, and the
    // capture of its throw when the slot holds none), or nothing;
    // nothing is left of to's own.
    static void CopyExtras(StdException& to, const StdException& from);
};

// Fields: the fields of e, or null when it has none.
inline const RecordExtras::Fields* FieldsOf(const StdException& e) {
    const RecordExtras* extras = RecordAccess::Extras(e);
    return extras != nullptr && !extras->fields.empty() ? &extras->fields : nullptr;
}

// WriteScalar: a field's value other than text at out, as FieldText writes
// it; returns the end, at most maxRealText characters on.
char* WriteScalar(char* out, const FieldValue& value);

// Calls write(entry, position) for each entry that the level shows, origin
// first; position counts up from 0 at the origin.
template <class Write>
void ForEachShownEntry(const StdException::CallTrace& trace, DetailLevel level, Write write) {
    if (level == FullDetail) {
        std::size_t position = 0;
        for (StdException::CallTrace::const_reverse_iterator entry = trace.rbegin();
             entry != trace.rend(); ++entry)
            write(*entry, position++);
    } else if (level == MediumDetail) {
        write(trace.back(), 0);
    }
}

// Calls write(kind, nested) for the exceptions that e's report nests, in
// order: its previous exception (kind 0), then for a BadHandlerException its
// handler (1) and its original exception (2).
template <class Write>
void ForEachNested(const StdException& e, Write write) {
    if (e.GetPreviousException() != nullptr) write(0, *e.GetPreviousException());
    const BadHandlerException* bad = dynamic_cast<const BadHandlerException*>(&e);
    if (bad != nullptr) {
        write(1, *bad->GetHandlerException());
        write(2, *bad->GetOriginalException());
    }
}

// TakeThrowSite: gives e the capture recorded for the thrown object at
// address object, if there are any; for a foreign object also its type.
void TakeThrowSite(StdException& e, const void* object, bool foreign);

// ThrowSiteOf: the resolved frames recorded for the live thrown object at
// address object; empty when there are none.
std::vector<NativeFrame> ThrowSiteOf(const void* object);

}  // namespace Quorbel

#endif
