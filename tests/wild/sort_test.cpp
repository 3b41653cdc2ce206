#include "wild/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace zn {
namespace {

int compare_calls = 0;

int compare_ints(const void *a, const void *b) {
    compare_calls++;
    int x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Elements of a given byte size: the first byte is the key, byte 1 the input position (mod 256),
// the rest a pattern derived from both so that a half-copied element shows.
std::vector<unsigned char> make_elements(std::mt19937 &rng, size_t count, size_t size, int keys) {
    std::vector<unsigned char> v(count * size);
    for (size_t i = 0; i < count; i++) {
        unsigned char *e = &v[i * size];
        e[0] = static_cast<unsigned char>(rng() % keys);
        if (size > 1) e[1] = static_cast<unsigned char>(i);
        for (size_t k = 2; k < size; k++) e[k] = static_cast<unsigned char>(e[0] * 31 + e[1] + k);
    }
    return v;
}

int compare_first_byte(const void *a, const void *b) {
    return *static_cast<const unsigned char *>(a) - *static_cast<const unsigned char *>(b);
}

// What a stable sort by the first byte must give.
std::vector<unsigned char> stable_reference(const std::vector<unsigned char> &v, size_t size) {
    std::vector<std::vector<unsigned char>> elems;
    for (size_t i = 0; i < v.size(); i += size)
        elems.emplace_back(v.begin() + i, v.begin() + i + size);
    std::stable_sort(elems.begin(), elems.end(),
                     [](const auto &a, const auto &b) { return a[0] < b[0]; });
    std::vector<unsigned char> out;
    for (const auto &e : elems) out.insert(out.end(), e.begin(), e.end());
    return out;
}

TEST(Sort, ZeroAndOneElementsCallNoComparison) {
    int one = 5;
    compare_calls = 0;
    qsort(nullptr, 0, 4, compare_ints);
    qsort(&one, 1, 4, compare_ints);
    EXPECT_EQ(compare_calls, 0);
    EXPECT_EQ(one, 5);
}

// Equal keys keep their input order above five elements, for many element sizes and for arrays
// whose merges run on the stack, on the heap, and in place.
TEST(Sort, StableAboveFiveElementsForEverySize) {
    struct Row {
        size_t count, size;
        int keys;
        bool no_heap;
    } rows[] = {
        {6, 1, 2, false},     {6, 2, 3, false},   {7, 3, 2, false},     {13, 4, 3, false},
        {50, 5, 4, false},    {64, 7, 5, false},  {100, 24, 10, false}, {250, 17, 6, false},
        {300, 24, 30, false},  // runs of up to 7200 bytes: heap scratch
        {300, 24, 30, true},   // the same merged in place
        {2000, 3, 7, true},   {37, 130, 4, true}, {200, 64, 2, false},
    };
    std::mt19937 rng(12345);
    for (const Row &row : rows) {
        for (int round = 0; round < 20; round++) {
            std::vector<unsigned char> v = make_elements(rng, row.count, row.size, row.keys);
            std::vector<unsigned char> want = stable_reference(v, row.size);
            int old = sort_set_no_heap_scratch(row.no_heap);
            qsort(v.data(), unsigned(row.count), unsigned(row.size), compare_first_byte);
            sort_set_no_heap_scratch(old);
            ASSERT_EQ(v, want) << "count " << row.count << " size " << row.size << " no_heap "
                               << row.no_heap << " round " << round;
        }
    }
}

// Up to five elements take the selection path: every arrangement of keys comes out ordered, with
// every element intact.
TEST(Sort, SelectionPathOrdersEveryArrangement) {
    for (unsigned count = 2; count <= 5; count++) {
        std::vector<int> keys(count);
        // Every sequence of keys in 0..count-1, duplicates included.
        unsigned total = 1;
        for (unsigned i = 0; i < count; i++) total *= count;
        for (unsigned code = 0; code < total; code++) {
            unsigned c = code;
            for (unsigned i = 0; i < count; i++, c /= count) keys[i] = int(c % count);
            std::vector<int> v = keys;
            qsort(v.data(), count, sizeof(int), compare_ints);
            std::vector<int> want = keys;
            std::sort(want.begin(), want.end());
            ASSERT_EQ(v, want) << "count " << count << " code " << code;
        }
    }
}

// Five elements go through selection, which carries the first "b" past its equal; six go through
// the merge sort, which does not. A wrong boundary shows in one of the two rows.
TEST(Sort, FiveElementsMayReorderEqualsSixDoNot) {
    struct Row {
        std::string input, want;  // one element per two bytes: key, tag
    } rows[] = {
        {"b1b2a3c4d5", "a3b2b1c4d5"},
        {"b1b2a3c4d5e6", "a3b1b2c4d5e6"},
    };
    for (const Row &row : rows) {
        std::string v = row.input;
        qsort(&v[0], unsigned(v.size() / 2), 2, compare_first_byte);
        EXPECT_EQ(v, row.want) << row.input;
    }
}

// A comparison function that sorts an array of its own must not disturb the sort that called it.
int nested_calls = 0;
int compare_with_nested_sort(const void *a, const void *b) {
    int scratch[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    nested_calls++;
    qsort(scratch, 8, sizeof(int), compare_ints);
    EXPECT_TRUE(std::is_sorted(scratch, scratch + 8));
    return compare_first_byte(a, b);
}

TEST(Sort, ComparisonFunctionMaySortToo) {
    std::mt19937 rng(7);
    std::vector<unsigned char> v = make_elements(rng, 40, 2, 5);
    std::vector<unsigned char> want = stable_reference(v, 2);
    qsort(v.data(), 40, 2, compare_with_nested_sort);
    EXPECT_GT(nested_calls, 0);
    EXPECT_EQ(v, want);
}

}  // namespace
}  // namespace zn
