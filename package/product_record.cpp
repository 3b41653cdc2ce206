#include "package/product_record.h"

#include <cassert>
#include <cstring>

#include "lib/byteorder.h"
#include "lib/chk.h"
#include "package/fd_io.h"
#include "package/package_format.h"

namespace zn {

namespace {

// Why a body does not decode.
const char kTooLong[] = "the body is longer than 65536 bytes";
const char kHeaderCut[] = "a field header runs past the end of the body";
const char kValueCut[] = "a field value runs past the end of the body";
const char kTextTooLong[] = "a text field is longer than 1023 bytes";
const char kTextNul[] = "a text field holds a NUL byte";
const char kNumberWidth[] = "a number field is not 8 bytes long";
const char kFlagsWidth[] = "the flags field is not 4 bytes long";

// The has_ member and the buffer of a text tag, or null for the other tags.
char *text_slot(product_info *p, uint32_t tag, int **has) {
    switch (tag) {
        case kProductTagName:
            *has = &p->has_name;
            return p->name;
        case kProductTagVersion:
            *has = &p->has_version;
            return p->version;
        case kProductTagDefaultDir:
            *has = &p->has_default_dir;
            return p->default_dir;
        default:
            return nullptr;
    }
}

// Takes one field into p, replacing an earlier one of the same tag. Returns null, or why the
// field is refused.
const char *take_field(product_info *p, uint32_t tag, const unsigned char *value, uint32_t n) {
    int *has = nullptr;
    if (char *text = text_slot(p, tag, &has)) {
        if (n > kProductTextMax) return kTextTooLong;
        if (std::memchr(value, 0, n) != nullptr) return kTextNul;
        std::memcpy(text, value, n);
        text[n] = '\0';
        *has = 1;
        return nullptr;
    }
    switch (tag) {
        case kProductTagUnpackedSize:
        case kProductTagEntries: {
            if (n != kProductNumberWidth) return kNumberWidth;
            uint64_t v = (uint64_t(LGET32(value)) << 32) | LGET32(value + 4);
            if (tag == kProductTagUnpackedSize) {
                p->unpacked_size = v;
                p->has_unpacked_size = 1;
            } else {
                p->entries = v;
                p->has_entries = 1;
            }
            return nullptr;
        }
        case kProductTagFlags:
            if (n != kProductFlagsWidth) return kFlagsWidth;
            p->flags = LGET32(value);
            p->has_flags = 1;
            return nullptr;
        default:
            p->unknown_fields++;
            return nullptr;
    }
}

void add_field(dstr *out, uint32_t tag, const void *value, uint32_t n) {
    dstr_add_int32(out, tag);
    dstr_add_int32(out, n);
    dstr_add_mem(out, value, int(n));
}

void add_text(dstr *out, uint32_t tag, const char *text) {
    size_t n = std::strlen(text);
    assert(n <= kProductTextMax);
    add_field(out, tag, text, uint32_t(n));
}

void add_number(dstr *out, uint32_t tag, uint64_t v) {
    dstr_add_int32(out, tag);
    dstr_add_int32(out, kProductNumberWidth);
    dstr_add_int32(out, uint32_t(v >> 32));
    dstr_add_int32(out, uint32_t(v));
}

}  // namespace

void product_info_init(product_info *p) {
    std::memset(p, 0, sizeof *p);
}

int product_record_decode(const unsigned char *body, uint32_t length, product_info *out,
                          const char **why) {
    product_info_init(out);
    const char *fault = length > kProductRecordMax ? kTooLong : nullptr;
    uint32_t at = 0;
    while (fault == nullptr && at < length) {
        if (length - at < kProductFieldHeaderSize) {
            fault = kHeaderCut;
            break;
        }
        uint32_t tag = LGET32(body + at + kProductTagOffset);
        uint32_t n = LGET32(body + at + kProductLengthOffset);
        at += kProductFieldHeaderSize;
        if (n > length - at) {
            fault = kValueCut;
            break;
        }
        fault = take_field(out, tag, body + at, n);
        at += n;
    }
    if (fault == nullptr) return 0;
    product_info_init(out);
    if (why != nullptr) *why = fault;
    return -1;
}

void product_record_encode(const product_info *p, dstr *out) {
    if (p->has_name) add_text(out, kProductTagName, p->name);
    if (p->has_version) add_text(out, kProductTagVersion, p->version);
    if (p->has_default_dir) add_text(out, kProductTagDefaultDir, p->default_dir);
    if (p->has_unpacked_size) add_number(out, kProductTagUnpackedSize, p->unpacked_size);
    if (p->has_entries) add_number(out, kProductTagEntries, p->entries);
    if (p->has_flags) {
        dstr_add_int32(out, kProductTagFlags);
        dstr_add_int32(out, kProductFlagsWidth);
        dstr_add_int32(out, p->flags);
    }
}

int product_record_read(int fd, const unsigned char *record_header, product_info *out,
                        const char **why) {
    uint32_t length = LGET32(record_header + kRecordLengthOffset);
    if (length > kProductRecordMax) {
        product_info_init(out);
        if (why != nullptr) *why = kTooLong;
        return -1;
    }
    unsigned char *body = static_cast<unsigned char *>(chk_alloc(length + 1));
    int rc;
    if (read_full(fd, body, length) < length) {
        product_info_init(out);
        rc = -2;
    } else {
        rc = product_record_decode(body, length, out, why);
    }
    chk_free(body);
    return rc;
}

}  // namespace zn
