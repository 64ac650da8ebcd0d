// Probes shared by the record, kinds and reporting tests.

#ifndef STDEXCEPTION_TESTS_COREPROBES_H
#define STDEXCEPTION_TESTS_COREPROBES_H

#include "Probes.h"

namespace probes {

// A record "top" translated from "middle", translated from "bottom", each with one
// entry in "void f()" without parameters or comment, at a.src:1, b.src:2 and c.src:3.
inline AppException MakeChain() {
    AppException bottom("c.src", 3, "void f()", "", "", "bottom");
    AppException middle("b.src", 2, "void f()", "", "", "middle");
    middle.AddPreviousException(&bottom);
    AppException top("a.src", 1, "void f()", "", "", "top");
    top.AddPreviousException(&middle);
    return top;
}

// The module-wide settings for one test: a log for its strategies and, on destruction,
// the default detail level and both module strategy slots as the module starts them.
struct ModuleScope {
    StrategyLog log;  // still alive while the destructor deletes strategies that write to it
    ~ModuleScope() {
        StdException::SetDefaultDetailLevel(Quorbel::FullDetail);
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
};

}  // namespace probes

#endif
