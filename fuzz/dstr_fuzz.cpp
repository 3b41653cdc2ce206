// Runs the dstr operations as a little program that the input spells out: one opcode byte, then
// the operation's arguments. A model of the bytes in use follows along; after every operation the
// invariants must hold (0 <= dl_len <= dl_size, the capacity really allocated), the bytes before
// an append must be untouched, and what an append wrote must decode back to what was given.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "lib/byteorder.h"
#include "lib/chk.h"
#include "string/dstr.h"

using zn::dstr;
using zn_fuzz::input_reader;

namespace {

constexpr int kMaxBytes = 1 << 18;  // the buffer is emptied before it would pass this, in bytes
constexpr int kMaxStep = 8192;      // largest count one operation adds, in bytes
// Bytes in use are compared with the model in full while there are at most kFullCheck of them,
// and on every kFullCheckEvery-th operation; otherwise only the kWindow bytes before the end of
// what was there, which keeps a long program from costing the square of its length.
constexpr size_t kFullCheck = 4096;
constexpr int kFullCheckEvery = 64;
constexpr size_t kWindow = 64;

enum op : int {
    kAddChar,
    kAddMem,
    kTerminate,
    kReserve,
    kReserveZero,
    kAddString,
    kAddNchar,
    kAddCstring,
    kAddId,
    kAddInt16,
    kAddInt24,
    kAddInt32,
    kAddInt64,
    kAddInt,
    kAddInt2,
    kAddInteger,
    kAddFloat,
    kAddNull,
    kAddPtr,
    kRemove,
    kClear,
    kSetSize,
    kSetSpace,
    kResize,
    kSize,
    kReinit,
    kReinitZero,
    kSetup,
    kOpCount,
};

// The bytes in use from offset from on.
std::string added_since(const dstr &d, int from) {
    return d.dl_len > from ? std::string(d.dl_ptr + from, size_t(d.dl_len - from)) : std::string();
}

uint32_t get32(const std::string &s, size_t at) {
    return zn::LGET32(s.data() + at);
}

// Decodes one tagged integer at the front of s (0x0E + 1 byte, 0x01 + 4, 0x10 + 8); returns the
// bytes it took, or 0 when the tag or the length is wrong.
size_t decode_tagged(const std::string &s, int64_t *v) {
    if (s.empty()) return 0;
    unsigned char tag = static_cast<unsigned char>(s[0]);
    if (tag == zn::kDstrTagShortInt && s.size() >= 2) {
        *v = static_cast<signed char>(s[1]);
        return 2;
    }
    if (tag == zn::kDstrTagInt32 && s.size() >= 5) {
        *v = int32_t(get32(s, 1));
        return 5;
    }
    if (tag == zn::kDstrTagInt64 && s.size() >= 9) {
        *v = int64_t(uint64_t(get32(s, 1)) << 32 | get32(s, 5));
        return 9;
    }
    return 0;
}

void check_tagged(const std::string &added, int64_t want) {
    int64_t got = 0;
    size_t used = decode_tagged(added, &got);
    if (used != added.size() || got != want)
        zn_fuzz::fuzz_fail("tagged %lld came back as %lld in %zu of %zu bytes", (long long)want,
                           (long long)got, used, added.size());
}

// Reverses dstr_add_cstring's escapes; aborts on a byte that an escape cannot produce.
std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        FUZZ_CHECK(c >= 0x20 && c < 0x80);
        if (c != '\\') {
            FUZZ_CHECK(c != '"');
            out += char(c);
            continue;
        }
        FUZZ_CHECK(i + 1 < s.size());
        char e = s[++i];
        switch (e) {
            case '"':
            case '\\':
                out += e;
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'f':
                out += '\f';
                break;
            case 'b':
                out += '\b';
                break;
            case '0':
                FUZZ_CHECK(s.compare(i, 3, "000") == 0);
                out += '\0';
                i += 2;
                break;
            case 'x': {
                FUZZ_CHECK(i + 2 < s.size());
                unsigned v = 0;
                FUZZ_CHECK(std::sscanf(s.substr(i + 1, 2).c_str(), "%2x", &v) == 1);
                FUZZ_CHECK(v < 0x20 || v >= 0x80);
                out += char(v);
                i += 2;
                break;
            }
            default:
                zn_fuzz::fuzz_fail("unknown escape \\%c", e);
        }
    }
    return out;
}

void check_invariants(const dstr &d) {
    FUZZ_CHECK(d.dl_len >= 0);
    FUZZ_CHECK(d.dl_len <= d.dl_size);
    if (d.dl_size > 0 && d.dl_ptr != nullptr) {
        // The capacity must really be there: AddressSanitizer stops a read past the block.
        volatile char last = d.dl_ptr[d.dl_size - 1];
        (void)last;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in{data, size};
    dstr d;
    zn::dstr_init(&d, in.u8() % 64);
    std::string model;
    int ops = 0;

    while (in.n > 0) {
        int code = in.u8() % kOpCount;
        if (d.dl_len > kMaxBytes - 2 * kMaxStep - 64) {
            zn::dstr_clear(&d);
            model.clear();
        }
        int old_len = d.dl_len;
        std::string given;
        switch (code) {
            case kAddChar: {
                int ch = in.u8();
                zn::dstr_add_char(&d, ch);
                given.assign(1, char(ch));
                break;
            }
            case kAddMem:
                given = in.bytes(in.u8());
                zn::dstr_add_mem(&d, given.data(), int(given.size()));
                break;
            case kTerminate:
                zn::dstr_terminate(&d);
                given.assign(1, '\0');
                break;
            case kReserve:
                zn::dstr_reserve(&d, int(in.u16() % kMaxStep) - 16);
                break;
            case kReserveZero: {
                int n = int(in.u16() % kMaxStep) - 16;
                zn::dstr_reserve_zero(&d, n);
                given.assign(n > 0 ? size_t(n) : 0, '\0');
                break;
            }
            case kAddString:
                given = in.bytes(in.u8());
                zn::dstr_add_string(&d, given.data(), int(given.size()));
                break;
            case kAddNchar: {
                int ch = in.u8();
                int n = int(in.u16() % kMaxStep) - 16;
                zn::dstr_add_nchar(&d, ch, n);
                given.assign(n > 0 ? size_t(n) : 0, char(ch));
                break;
            }
            case kAddCstring: {
                std::string raw = in.bytes(in.u8());
                zn::dstr_add_cstring(&d, raw.data(), int(raw.size()));
                FUZZ_CHECK(d.dl_len >= old_len);
                std::string added = added_since(d, old_len);
                FUZZ_CHECK(unescape(added) == raw);
                given = added;
                break;
            }
            case kAddId: {
                int id = in.u16() % 1024;
                zn::dstr_add_id(&d, id);
                FUZZ_CHECK(d.dl_len == old_len + 2);
                const unsigned char *b = reinterpret_cast<unsigned char *>(d.dl_ptr + old_len);
                FUZZ_CHECK(zn::LGET_ID(b) == id);
                FUZZ_CHECK((b[0] & 0x3F) == zn::kIdTag);
                given = added_since(d, old_len);
                break;
            }
            case kAddInt16: {
                int v = int16_t(in.u16());
                zn::dstr_add_int16(&d, v);
                given = {char(v >> 8), char(v)};
                break;
            }
            case kAddInt24: {
                uint32_t v = in.u32();
                zn::dstr_add_int24(&d, v);
                given = {char(v >> 16), char(v >> 8), char(v)};
                break;
            }
            case kAddInt32: {
                uint32_t v = in.u32();
                zn::dstr_add_int32(&d, v);
                given = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
                break;
            }
            case kAddInt64: {
                uint64_t v = uint64_t(in.u32()) << 32 | in.u32();
                zn::dstr_add_int64(&d, v);
                for (int s = 56; s >= 0; s -= 8) given += char(v >> s);
                break;
            }
            case kAddInt:
            case kAddInteger: {
                // Small values are common in real records, so half the time the value is one byte.
                int64_t v = (in.u8() & 1) ? int64_t(int8_t(in.u8()))
                                          : int64_t(uint64_t(in.u32()) << 32 | in.u32());
                if (code == kAddInt) v = int32_t(v);
                if (code == kAddInt)
                    zn::dstr_add_int(&d, int(v));
                else
                    zn::dstr_add_integer(&d, v);
                FUZZ_CHECK(d.dl_len >= old_len);
                check_tagged(added_since(d, old_len), v);
                given = added_since(d, old_len);
                break;
            }
            case kAddInt2: {
                int a = int32_t(in.u32()), b = int8_t(in.u8());
                zn::dstr_add_int_2(&d, a, b);
                FUZZ_CHECK(d.dl_len >= old_len);
                std::string added = added_since(d, old_len);
                int64_t got = 0;
                size_t first = decode_tagged(added, &got);
                FUZZ_CHECK(first > 0 && got == a);
                check_tagged(added.substr(first), b);
                given = added;
                break;
            }
            case kAddFloat: {
                uint64_t bits = uint64_t(in.u32()) << 32 | in.u32();
                double v;
                std::memcpy(&v, &bits, sizeof v);
                zn::dstr_add_float(&d, v);
                FUZZ_CHECK(d.dl_len == old_len + 9);
                FUZZ_CHECK(static_cast<unsigned char>(d.dl_ptr[old_len]) == zn::kDstrTagFloat);
                double back = zn::LGET_FLOAT(d.dl_ptr + old_len + 1);
                FUZZ_CHECK(std::memcmp(&back, &v, sizeof v) == 0);
                given = added_since(d, old_len);
                break;
            }
            case kAddNull:
                zn::dstr_add_null(&d);
                given.assign(1, char(zn::kDstrTagNull));
                break;
            case kAddPtr: {
                int tag = in.u8();
                uint32_t v = in.u32();
                zn::dstr_add_ptr(&d, tag, v);
                given = {char(tag), char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
                break;
            }
            case kRemove: {
                int n = int(int16_t(in.u16()));
                zn::dstr_remove(&d, n);
                if (n > 0) model.erase(0, size_t(n));
                break;
            }
            case kClear:
                zn::dstr_clear(&d);
                model.clear();
                break;
            case kSetSize: {
                int size = int(in.u16() % unsigned(d.dl_size + 1));
                zn::dstr_set_size(&d, size);
                break;
            }
            case kSetSpace: {
                int size = 1 + in.u16() % kMaxStep;
                int before = d.dl_size;
                zn::dstr_set_space(&d, size);
                FUZZ_CHECK(d.dl_size == size);
                if (size != before) {
                    FUZZ_CHECK(d.dl_len == 0);
                    model.clear();
                }
                break;
            }
            case kResize: {
                int size = in.u16() % (2 * kMaxStep);
                int before = d.dl_size;
                zn::dstr_resize(&d, size);
                FUZZ_CHECK(d.dl_size == (size > before ? size : before));
                FUZZ_CHECK(d.dl_len == old_len);
                break;
            }
            case kSize: {
                int size = in.u16() % (2 * kMaxStep);
                int before = d.dl_size;
                zn::dstr_size(&d, size);
                if (size > before) {
                    FUZZ_CHECK(d.dl_len == size);
                    // The bytes past the old capacity are zero.
                    for (int i = before; i < size; i++) FUZZ_CHECK(d.dl_ptr[i] == 0);
                } else {
                    FUZZ_CHECK(d.dl_len == old_len);
                }
                break;
            }
            case kReinit:
            case kReinitZero: {
                int size = in.u8();
                zn::dstr_free(&d);
                FUZZ_CHECK(d.dl_ptr == nullptr && d.dl_len == 0);
                zn::dstr_free(&d);  // harmless again
                if (code == kReinit) {
                    zn::dstr_init(&d, size);
                } else {
                    zn::dstr_zinit(&d, size);
                    for (int i = 0; i < size; i++) FUZZ_CHECK(d.dl_ptr[i] == 0);
                }
                FUZZ_CHECK(d.dl_size == size && d.dl_len == 0);
                model.clear();
                break;
            }
            case kSetup: {
                std::string bytes = in.bytes(in.u8());
                void *buf = zn::chk_alloc(unsigned(bytes.size()));
                if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
                zn::dstr_free(&d);
                zn::dstr_setup(&d, buf, int(bytes.size()));
                model = bytes;
                old_len = 0;
                break;
            }
        }
        check_invariants(d);

        // What was in use before must be untouched, then the operation's own bytes follow. The
        // bytes that reserve, set_size and size expose are whatever the buffer holds.
        size_t now = size_t(d.dl_len);
        size_t keep = model.size() < now ? model.size() : now;
        size_t from = 0;
        if (keep > kFullCheck && ++ops % kFullCheckEvery != 0) from = keep - kWindow;
        if (keep > from && std::memcmp(d.dl_ptr + from, model.data() + from, keep - from) != 0) {
            zn_fuzz::fuzz_fail("operation %d changed bytes in use (length %d -> %d)", code, old_len,
                               d.dl_len);
        }
        bool appends = code <= kAddPtr && code != kReserve;
        if (appends) {
            if (now != model.size() + given.size() ||
                std::memcmp(d.dl_ptr + model.size(), given.data(), given.size()) != 0)
                zn_fuzz::fuzz_fail("operation %d appended %zu bytes, wanted %zu", code,
                                   now - model.size(), given.size());
        }
        if (model.size() > now)
            model.resize(now);
        else
            model.append(d.dl_ptr + model.size(), now - model.size());
    }
    zn::dstr_free(&d);
    return 0;
}
