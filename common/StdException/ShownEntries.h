// ShownEntries: which call-trace entries a detail level shows, in the order
// and with the positions that every rendering gives them.

#ifndef QUORBEL_SHOWNENTRIES_H
#define QUORBEL_SHOWNENTRIES_H

#include "StdException"

#include <cstddef>

namespace Quorbel {

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

}  // namespace Quorbel

#endif
