#include "wild/sort.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zn {

namespace {

typedef int (*compare_fn)(const void *, const void *);

int no_heap_scratch = 0;

// Exchanges two elements: one 32-bit word for 4-byte elements, otherwise byte by byte.
void swap_elements(char *a, char *b, size_t size) {
    if (size == 4) {
        uint32_t wa, wb;
        std::memcpy(&wa, a, 4);
        std::memcpy(&wb, b, 4);
        std::memcpy(a, &wb, 4);
        std::memcpy(b, &wa, 4);
        return;
    }
    for (size_t i = 0; i < size; i++) {
        char t = a[i];
        a[i] = b[i];
        b[i] = t;
    }
}

// Among equal elements the earliest stays the choice, but the swap may still carry an element
// past its equals: this path is not stable.
void selection_sort(char *base, size_t count, size_t size, compare_fn compare) {
    for (size_t i = 0; i + 1 < count; i++) {
        char *smallest = base + i * size;
        for (size_t j = i + 1; j < count; j++) {
            char *e = base + j * size;
            if (compare(e, smallest) < 0) smallest = e;
        }
        if (smallest != base + i * size) swap_elements(smallest, base + i * size, size);
    }
}

// Reverses the order of count elements starting at p.
void reverse_elements(char *p, size_t count, size_t size) {
    if (count < 2) return;
    for (size_t i = 0, j = count - 1; i < j; i++, j--)
        swap_elements(p + i * size, p + j * size, size);
}

// Turns the runs [p, p + left) and [p + left, p + left + right) (in elements) into the right run
// followed by the left run.
void rotate_elements(char *p, size_t left, size_t right, size_t size) {
    if (left == 0 || right == 0) return;
    reverse_elements(p, left, size);
    reverse_elements(p + left * size, right, size);
    reverse_elements(p, left + right, size);
}

// Stable merge of two sorted adjacent runs without scratch space: split the longer run in the
// middle, find where its middle element belongs in the other run, rotate the two inner pieces
// past each other and merge both halves the same way. Equal elements of the left run stay in
// front of those of the right run.
void merge_in_place(char *p, size_t left, size_t right, size_t size, compare_fn compare) {
    if (left == 0 || right == 0) return;
    if (left + right == 2) {
        if (compare(p + size, p) < 0) swap_elements(p, p + size, size);
        return;
    }
    char *middle = p + left * size;
    size_t left_cut, right_cut;
    if (left > right) {
        left_cut = left / 2;
        // First element of the right run that is not less than the left run's middle element.
        size_t lo = 0, hi = right;
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            if (compare(middle + mid * size, p + left_cut * size) < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        right_cut = lo;
    } else {
        right_cut = right / 2;
        // First element of the left run that the right run's middle element sorts before.
        size_t lo = 0, hi = left;
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            if (compare(middle + right_cut * size, p + mid * size) < 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        left_cut = lo;
    }
    rotate_elements(p + left_cut * size, left - left_cut, right_cut, size);
    merge_in_place(p, left_cut, right_cut, size, compare);
    merge_in_place(p + (left_cut + right_cut) * size, left - left_cut, right - right_cut, size,
                   compare);
}

// Merges the sorted runs [p, p + left) and [p + left, p + left + right) through scratch space.
// Ties take the left element, which keeps the sort stable.
void merge_runs(char *p, size_t left, size_t right, size_t size, compare_fn compare) {
    size_t bytes = (left + right) * size;
    char stack_scratch[kSortStackScratch];
    char *scratch = stack_scratch;
    if (bytes >= kSortStackScratch) {
        scratch = no_heap_scratch ? nullptr : static_cast<char *>(std::malloc(bytes));
        if (!scratch) {
            merge_in_place(p, left, right, size, compare);
            return;
        }
    }
    char *a = p, *a_end = p + left * size;
    char *b = a_end, *b_end = p + bytes;
    char *out = scratch;
    while (a < a_end && b < b_end) {
        if (compare(a, b) <= 0) {
            std::memcpy(out, a, size);
            a += size;
        } else {
            std::memcpy(out, b, size);
            b += size;
        }
        out += size;
    }
    std::memcpy(out, a, a_end - a);
    out += a_end - a;
    std::memcpy(out, b, b_end - b);
    std::memcpy(p, scratch, bytes);
    if (scratch != stack_scratch) std::free(scratch);
}

void merge_sort(char *p, size_t count, size_t size, compare_fn compare) {
    if (count <= 1) return;
    size_t half = count / 2;
    merge_sort(p, half, size, compare);
    merge_sort(p + half * size, count - half, size, compare);
    merge_runs(p, half, count - half, size, compare);
}

}  // namespace

// The comparison function travels down the recursion as an argument rather than through a
// module-wide variable, so a comparison function may sort something of its own.
void qsort(void *base, unsigned count, unsigned size, int (*compare)(const void *, const void *)) {
    if (count <= 1 || size == 0) return;
    char *p = static_cast<char *>(base);
    if (count > kSortSelectionMax)
        merge_sort(p, count, size, compare);
    else
        selection_sort(p, count, size, compare);
}

int sort_set_no_heap_scratch(int on) {
    int old = no_heap_scratch;
    no_heap_scratch = on;
    return old;
}

}  // namespace zn
