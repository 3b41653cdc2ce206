#include "package/product_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/byteorder.h"

namespace zn {
namespace {

std::string be32(uint32_t v) {
    unsigned char b[4];
    LPUT32(b, v);
    return std::string(reinterpret_cast<char *>(b), 4);
}

std::string field(uint32_t tag, const std::string &value) {
    return be32(tag) + be32(uint32_t(value.size())) + value;
}

std::string encode(const product_info &p) {
    dstr d;
    dstr_init(&d, 64);
    product_record_encode(&p, &d);
    std::string s(d.dl_ptr, size_t(d.dl_len));
    dstr_free(&d);
    return s;
}

// Decodes from a heap block of exactly the body's size, so that the sanitizer build catches a
// read past its end.
int decode(const std::string &body, product_info *out, const char **why) {
    std::vector<unsigned char> copy(body.begin(), body.end());
    return product_record_decode(copy.data(), uint32_t(copy.size()), out, why);
}

// The layout byte for byte (big-endian tags and lengths, a number's high word first), and every
// field, at its limits, decoded back as it was.
TEST(ProductRecord, EncodesTheLayoutAndDecodesItBack) {
    product_info small;
    product_info_init(&small);
    small.has_name = small.has_unpacked_size = small.has_flags = 1;
    std::strcpy(small.name, "Zan");
    small.unpacked_size = 0x0000000512345678ull;
    small.flags = kProductFlagProgress;
    EXPECT_EQ(encode(small), std::string("\0\0\0\1\0\0\0\3Zan"
                                         "\0\0\0\4\0\0\0\x08\0\0\0\x05\x12\x34\x56\x78"
                                         "\0\0\0\6\0\0\0\4\0\0\0\1",
                                         39));
    product_info all = small;
    all.has_version = all.has_default_dir = all.has_entries = 1;
    std::memset(all.name, 'n', kProductTextMax);  // the longest text taken
    std::strcpy(all.version, "2.0 \xc3\xa9");
    all.unpacked_size = ~uint64_t(0);
    all.entries = uint64_t(1) << 32;
    all.flags = 0x80000001u;  // bits this version does not know are kept
    product_info none;
    product_info_init(&none);
    for (const product_info *p : {&small, &all, &none}) {
        product_info back;
        const char *why = nullptr;
        ASSERT_EQ(decode(encode(*p), &back, &why), 0) << why;
        EXPECT_EQ(std::memcmp(&back, p, sizeof back), 0);
    }
}

TEST(ProductRecord, SkipsUnknownTagsAndRefusesDamage) {
    const std::string name = field(kProductTagName, "Zantho");
    const std::string entries = field(kProductTagEntries, std::string("\0\0\0\0\0\0\0\7", 8));
    struct Row {
        const char *name;
        std::string body;
        const char *why;  // null: decodes, to the name "Zantho" with 7 entries unless it is empty
        int unknown;
    } rows[] = {
        {"empty body", "", nullptr, 0},
        {"unknown tags of any length", field(99, "abc") + name + field(0, "") + entries, nullptr,
         2},
        {"a later field replaces an earlier one", field(kProductTagName, "Old") + name + entries,
         nullptr, 0},
        {"body at the limit", name + entries + field(77, std::string(kProductRecordMax - 38, 'x')),
         nullptr, 1},
        {"body over the limit",
         name + entries + field(77, std::string(kProductRecordMax - 37, 'x')), "longer than 65536",
         0},
        {"field header cut", name + be32(kProductTagFlags) + "\0\0\0", "field header runs past", 0},
        {"value runs past the end", name + be32(kProductTagName) + be32(7) + "abc",
         "value runs past", 0},
        {"length near 2^32", name + be32(99) + be32(0xFFFFFFF9u) + "abc", "value runs past", 0},
        {"number of 7 bytes", field(kProductTagUnpackedSize, std::string(7, '\0')), "not 8 bytes",
         0},
        {"number of 9 bytes", field(kProductTagEntries, std::string(9, '\0')), "not 8 bytes", 0},
        {"flags of 8 bytes", field(kProductTagFlags, std::string(8, '\0')), "not 4 bytes", 0},
        {"text holding a NUL", field(kProductTagVersion, std::string("1\0", 2)), "NUL byte", 0},
        {"text of 1024 bytes", field(kProductTagDefaultDir, "/" + std::string(1023, 'd')),
         "longer than 1023", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        product_info p;
        const char *why = nullptr;
        int rc = decode(row.body, &p, &why);
        if (row.why != nullptr) {
            ASSERT_EQ(rc, -1);
            ASSERT_NE(why, nullptr);
            EXPECT_NE(std::strstr(why, row.why), nullptr) << why;
            EXPECT_FALSE(p.has_name);  // nothing half-decoded is handed out
            continue;
        }
        ASSERT_EQ(rc, 0) << why;
        EXPECT_EQ(p.unknown_fields, row.unknown);
        if (row.body.empty()) continue;
        EXPECT_STREQ(p.name, "Zantho");
        EXPECT_EQ(p.entries, 7u);
    }
}

// Cut anywhere, a body decodes only where the cut falls between fields.
TEST(ProductRecord, EveryCutDecodesOnlyAtAFieldBoundary) {
    const std::string body = field(kProductTagName, "Zantho") + field(kProductTagVersion, "1.2") +
                             field(kProductTagEntries, std::string(8, '\1'));
    for (size_t cut = 0; cut <= body.size(); cut++) {
        product_info p;
        bool boundary = cut == 0 || cut == 14 || cut == 25 || cut == body.size();
        EXPECT_EQ(decode(body.substr(0, cut), &p, nullptr), boundary ? 0 : -1) << cut;
    }
}

}  // namespace
}  // namespace zn
