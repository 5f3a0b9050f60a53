#pragma once

// Counts the calls of the global operator new (every form) made on the
// calling thread, for a test or benchmark that adds support/count_new.cpp to
// its sources (it replaces the program's operator new). The replacement lives
// in its own file: defined next to the code it counts, GCC
// inlines the malloc behind operator new and the free behind operator delete
// into the callers and then reports them as mismatched.

#include <cstdint>

namespace qbtest {
std::uint64_t NewCallsOnThisThread();
}  // namespace qbtest
