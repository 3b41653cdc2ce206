// The library's own array sort. It lives in namespace zn under the standard name, so that our
// callers get it while the C library's qsort stays what the rest of the process sees.
//
// Despite the name it is not a quicksort: up to five elements are sorted by selection (which may
// reorder equal elements), more by a stable top-down merge sort (equal elements keep their input
// order). Merges of runs up to kSortStackScratch - 1 bytes use a buffer on the stack; longer runs
// borrow a heap block for the merge, and when none can be had the runs are merged in place, so the
// result is always fully ordered.
#ifndef ZN_WILD_SORT_H
#define ZN_WILD_SORT_H

namespace zn {

enum : unsigned {
    kSortSelectionMax = 5,     // elements; arrays this short are sorted by selection
    kSortStackScratch = 4096,  // bytes of stack scratch for one merge
};

// Sorts count elements of size bytes each, stored contiguously from base, in place, by compare
// (negative: the first sorts before the second; zero: equal; positive: after). Returns nothing.
// count 0 or 1 returns without calling compare. compare may itself call qsort.
// REQUIRES: base points at count * size writable bytes (base may be null when count is 0).
void qsort(void *base, unsigned count, unsigned size, int (*compare)(const void *, const void *));

// Test hook: while on is non-zero, merges behave as if no heap scratch could be allocated, so that
// the in-place merge is exercised. Returns the previous setting.
int sort_set_no_heap_scratch(int on);

}  // namespace zn

#endif  // ZN_WILD_SORT_H
