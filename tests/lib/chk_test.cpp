#include "lib/chk.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zn {
namespace {

TEST(Chk, MakestrConcatenates) {
    struct {
        char *got;
        const char *want;
    } rows[] = {
        {chk_makestr("", nullptr), ""},
        {chk_makestr("a", "bc", "", "d", nullptr), "abcd"},
        {chk_makestr("dir", "/junk", nullptr), "dir/junk"},
    };
    for (auto &row : rows) {
        EXPECT_STREQ(row.got, row.want);
        chk_free(row.got);
    }
}

TEST(Chk, FreePtrClearsTheVariable) {
    char *p = nullptr;
    chk_free_ptr(&p);
    EXPECT_EQ(p, nullptr);
    p = static_cast<char *>(chk_alloc(16));
    chk_free_ptr(&p);
    EXPECT_EQ(p, nullptr);
    chk_free_safe(nullptr);
}

TEST(Chk, StrndupCopiesExactlyN) {
    const char *s = "hello";
    char *whole = static_cast<char *>(chk_strndup(s, static_cast<unsigned>(std::strlen(s) + 1)));
    EXPECT_STREQ(whole, "hello");
    char *three = static_cast<char *>(chk_strndup(s, 3));
    EXPECT_EQ(std::memcmp(three, "hel", 3), 0);
    chk_free(whole);
    chk_free(three);
}

TEST(Chk, ZallocIsZeroFilled) {
    unsigned char *p = static_cast<unsigned char *>(chk_zalloc(64));
    for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0) << i;
    p = static_cast<unsigned char *>(chk_realloc(p, 4096));
    ASSERT_NE(p, nullptr);
    chk_free(p);
}

// An allocation that cannot succeed prints its message on standard output and ends the process
// with status 1, since no caller tests the result. The child limits its address space so that the
// request fails for certain, and sends standard output to standard error for the matcher.
[[noreturn]] void allocate_beyond_limit(int which) {
    struct rlimit limit = {256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &limit);
    dup2(2, 1);
    const unsigned huge = 0xFFFFFFF0u;
    if (which == 0) chk_alloc(huge);
    if (which == 1) chk_zalloc(huge);
    if (which == 2) chk_realloc(chk_alloc(16), huge);
    std::exit(0);
}

TEST(ChkDeathTest, FailedAllocationsPrintAndExit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator reserves more address space than the limit";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(allocate_beyond_limit(0), testing::ExitedWithCode(1),
                "CHK_ALLOC: Failed to allocate memory. Wanted 0xfffffff0 bytes\n");
    EXPECT_EXIT(allocate_beyond_limit(1), testing::ExitedWithCode(1),
                "CHK_ALLOC: Failed to zallocate memory. Wanted 0xfffffff0 bytes\n");
    EXPECT_EXIT(allocate_beyond_limit(2), testing::ExitedWithCode(1),
                "CHK_ALLOC: Failed to reallocate memory. Wanted 0xfffffff0 bytes\n");
}

}  // namespace
}  // namespace zn
