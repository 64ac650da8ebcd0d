#include <gtest/gtest.h>

#include "FailingAllocator.h"
#include "Probes.h"

#include <new>

using namespace Quorbel;

// Adds an entry while the n-th allocation fails, for n = 1, 2, ... until the
// operation passes. Composing the parameter description comes before the
// guarded step and may let a bare standard exception escape; from the guarded
// step on, only a CPPException naming AddToCallTrace with that description may.
// A failure is never swallowed.
// The strings are too long for the short-string buffer, so each copy allocates.
TEST(AllocFailureTest, AddToCallTraceTranslatesAllocationFailures) {
    int translated = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        const long before = failing_allocator::LiveAllocations();
        bool provoked;
        {
            UnexpectedException target("target-file-name.src", 3, "void TargetFunction()", "", "");
            const std::string report = target.AsXML();
            bool escaped = true;
            try {
                failing_allocator::FailNthAllocation(n);
                target.AddToCallTrace("alloc-test-file.src", 77, "void Alloc::Operation(int)",
                                      "parameter-description", "developer-comment-text");
                escaped = false;
            } catch (const std::exception&) {
                EXPECT_EQ(translated, 0) << "a bare standard exception from the guarded step";
            } catch (const StdException& x) {
                ++translated;
                const std::string xml = x.AsXML();
                EXPECT_EQ(xml, "<Exception><Name>CPPException</Name><Value>std::bad_alloc\r\n"
                               "std::bad_alloc</Value><CallTrace>" +
                                   probes::ExpectedEntry(
                                       xml, 0, "StdException::AddToCallTrace(",
                                       "file(alloc-test-file.src) line(77) funcsig(void "
                                       "Alloc::Operation(int)) parameters(parameter-description) "
                                       "comment(developer-comment-text)",
                                       "") +
                                   "</CallTrace></Exception>");
            }
            failing_allocator::Disarm();
            EXPECT_EQ(target.AsXML() == report, escaped) << "an entry exactly when nothing escaped";
            provoked = failing_allocator::Failed();
            EXPECT_EQ(escaped, provoked) << "a failure that was swallowed";
        }
        EXPECT_EQ(failing_allocator::LiveAllocations(), before);
        if (!provoked) break;
    }
    EXPECT_GT(translated, 0);
}
