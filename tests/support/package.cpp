#include "support/package.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <stdexcept>

#include "lib/byteorder.h"
#include "lib/crc32.h"
#include "package/package_format.h"
#include "support/scratch.h"

namespace zn_test {

std::string installer_binary() {
#ifdef ZN_INSTALLER_PATH
    return ZN_INSTALLER_PATH;
#else
    return "";
#endif
}

std::string znpack_binary() {
#ifdef ZN_PACK_PATH
    return ZN_PACK_PATH;
#else
    return "";
#endif
}

std::string bzip2_compress(const std::string &data, int level) {
    unsigned int cap = unsigned(data.size() + data.size() / 100 + 1024);
    std::string out(cap, '\0');
    int rc = BZ2_bzBuffToBuffCompress(&out[0], &cap, const_cast<char *>(data.data()),
                                      unsigned(data.size()), level, 0, 0);
    if (rc != BZ_OK) throw std::runtime_error("bzip2 compression failed");
    out.resize(cap);
    return out;
}

std::string zstd_compress(const std::string &data, int level) {
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    std::string out(ZSTD_compressBound(data.size()), '\0');
    size_t n = ZSTD_compress2(c, &out[0], out.size(), data.data(), data.size());
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n)) throw std::runtime_error("zstd compression failed");
    out.resize(n);
    return out;
}

// The body of a compressed record of this type.
static std::string compressed_body(const std::string &data, unsigned type) {
    return zn::record_compression(type) == zn::kCompressionZstd ? zstd_compress(data)
                                                                : bzip2_compress(data);
}

Record env_record(const std::string &text, bool with_nul) {
    return {zn::kRecordEnvironment, with_nul ? text + std::string(1, '\0') : text};
}
Record program_record(const std::string &program) {
    return {zn::kRecordProgram, program};
}
Record archive_record(const std::string &tar, unsigned type) {
    return {type, compressed_body(tar, type)};
}
Record script_record(const std::string &script, unsigned type) {
    return {type, compressed_body(script, type)};
}
Record welcome_record(const std::string &text) {
    return {zn::kRecordWelcome, text};
}

void fix_package(std::string &bytes, uint64_t at) {
    zn::LPUT32(&bytes[at + zn::kHeaderPayloadLengthOffset], uint32_t(bytes.size() - at));
    zn::LPUT32(&bytes[at + zn::kHeaderCrcOffset], 0);
    uint32_t crc = zn::crc32(bytes.data(), int(bytes.size()));
    zn::LPUT32(&bytes[at + zn::kHeaderCrcOffset], crc);
}

std::string package_bytes(const std::vector<Record> &records, const std::string &stub) {
    std::string bytes = read_file(stub.empty() ? installer_binary() : stub);
    uint64_t at = bytes.size();
    zn::package_header h = {};
    unsigned char raw[zn::kPackageHeaderSize];
    zn::package_header_encode(&h, raw);
    bytes.append(reinterpret_cast<char *>(raw), sizeof raw);
    for (const Record &r : records) {
        unsigned char rh[zn::kRecordHeaderSize];
        zn::record_header hdr = {
            r.length_override >= 0 ? uint32_t(r.length_override) : uint32_t(r.body.size()), r.type};
        zn::record_header_encode(&hdr, rh);
        bytes.append(reinterpret_cast<char *>(rh), sizeof rh);
        bytes += r.body;
    }
    fix_package(bytes, at);
    return bytes;
}

uint64_t write_package(const std::string &path, const std::vector<Record> &records,
                       const std::string &stub) {
    std::string stub_bytes = read_file(stub.empty() ? installer_binary() : stub);
    std::string bytes = package_bytes(records, stub);
    write_file(path, bytes, 0755);
    return stub_bytes.size();
}

namespace {

void put_octal(char *field, size_t width, uint64_t value) {
    // width - 1 digits and a NUL, as most writers do.
    std::string digits(width - 1, '0');
    for (size_t i = width - 1; i-- > 0;) {
        digits[i] = char('0' + (value & 7));
        value >>= 3;
    }
    std::memcpy(field, digits.data(), width - 1);
    field[width - 1] = '\0';
}

void put_text(char *field, size_t width, const std::string &text) {
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

std::string padded(const std::string &data) {
    std::string s = data;
    if (s.size() % 512) s.append(512 - s.size() % 512, '\0');
    return s;
}

}  // namespace

std::string TarBuilder::header_block(const Header &h) {
    char b[512] = {};
    if (h.name_without_nul) {
        std::string n = h.name;
        n.resize(100, 'n');
        std::memcpy(b, n.data(), 100);
    } else {
        put_text(b, 100, h.name);
    }
    if (h.mode_field.empty())
        put_octal(b + 100, 8, uint64_t(h.mode));
    else
        put_text(b + 100, 8, h.mode_field);
    put_octal(b + 108, 8, 0);
    put_octal(b + 116, 8, 0);
    if (h.size_field.empty())
        put_octal(b + 124, 12, h.size);
    else
        put_text(b + 124, 12, h.size_field);
    put_octal(b + 136, 12, uint64_t(h.mtime));
    b[156] = h.type;
    put_text(b + 157, 100, h.linkname);
    std::memcpy(b + 257,
                h.old_gnu ? "ustar  "
                          : "ustar\0"
                            "00",
                8);
    put_text(b + 265, 32, "root");
    put_text(b + 297, 32, "root");
    put_text(b + 345, 155, h.prefix);
    std::memset(b + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b) sum += c;
    if (h.bad_checksum) sum += 1;
    char chk[8];
    snprintf(chk, sizeof chk, "%06o", sum & 0777777);
    std::memcpy(b + 148, chk, 7);
    b[155] = ' ';
    return std::string(b, 512);
}

TarBuilder &TarBuilder::entry(const Header &h, const std::string &data) {
    out_ += header_block(h);
    out_ += padded(data);
    return *this;
}

TarBuilder &TarBuilder::file(const std::string &name, const std::string &data, int mode) {
    Header h;
    h.name = name;
    h.mode = mode;
    h.size = data.size();
    return entry(h, data);
}

TarBuilder &TarBuilder::dir(const std::string &name, int mode) {
    Header h;
    h.name = name;
    h.mode = mode;
    h.type = '5';
    return entry(h, "");
}

TarBuilder &TarBuilder::symlink(const std::string &name, const std::string &target) {
    Header h;
    h.name = name;
    h.mode = 0777;
    h.type = '2';
    h.linkname = target;
    return entry(h, "");
}

TarBuilder &TarBuilder::hardlink(const std::string &name, const std::string &target) {
    Header h;
    h.name = name;
    h.type = '1';
    h.linkname = target;
    return entry(h, "");
}

TarBuilder &TarBuilder::gnu_longname(const std::string &long_name) {
    Header h;
    h.name = "././@LongLink";
    h.type = 'L';
    h.size = long_name.size() + 1;
    return entry(h, long_name + std::string(1, '\0'));
}

TarBuilder &TarBuilder::gnu_longlink(const std::string &long_target) {
    Header h;
    h.name = "././@LongLink";
    h.type = 'K';
    h.size = long_target.size() + 1;
    return entry(h, long_target + std::string(1, '\0'));
}

TarBuilder &TarBuilder::pax(const std::vector<std::pair<std::string, std::string>> &records,
                            char type) {
    std::string body;
    for (const auto &kv : records) {
        std::string rest = " " + kv.first + "=" + kv.second + "\n";
        // The length field counts itself: find the width that agrees.
        size_t len = rest.size() + 1;
        while (std::to_string(len).size() + rest.size() != len) len++;
        body += std::to_string(len) + rest;
    }
    Header h;
    h.name = "PaxHeaders/entry";
    h.type = type;
    h.size = body.size();
    return entry(h, body);
}

TarBuilder &TarBuilder::raw(const std::string &bytes) {
    out_ += bytes;
    return *this;
}

std::string TarBuilder::finish(int zero_blocks) {
    out_.append(size_t(zero_blocks) * 512, '\0');
    return out_;
}

}  // namespace zn_test
