// The package format: a program image with the package payload appended to its end.
//
//   offset 0                 the program image (the installer itself)
//   payload offset           the package header, kPackageHeaderSize bytes
//   payload offset + 172     records, one after another, to the end of the file
//
// There is no record count and no end marker: the end of the file ends the list. Every integer
// is an unsigned 32-bit big-endian value (LGET32 / LPUT32).
//
// This module is shared by the installer (reading) and the package tool (writing).
#ifndef ZN_PACKAGE_PACKAGE_FORMAT_H
#define ZN_PACKAGE_PACKAGE_FORMAT_H

#include <cstdint>

namespace zn {

// Package header layout: offset and width in bytes of each field.
constexpr int kPackageHeaderSize = 172;
constexpr int kHeaderMagicOffset = 0;
constexpr int kHeaderMagicWidth = 15;           // the 14 magic bytes and a NUL
constexpr int kHeaderPayloadLengthOffset = 24;  // bytes from the header's first byte to the end
constexpr int kHeaderCrcOffset = 28;    // CRC-32 of the whole file, these 4 bytes counted as zero
constexpr int kHeaderWordsOffset = 32;  // three words the installer does not interpret
constexpr int kHeaderWordCount = 3;

// The magic is compared without its NUL.
constexpr int kMagicLength = 14;

// Record header: body length (4 bytes), then the record type (1 byte, unsigned).
constexpr int kRecordHeaderSize = 5;
constexpr int kRecordLengthOffset = 0;
constexpr int kRecordTypeOffset = 4;

enum RecordType : unsigned {
    kRecordWelcome = 1,       // text shown before the install-directory question
    kRecordArchive = 2,       // bzip2 stream of a tar archive
    kRecordProgram = 7,       // a program, stored as it is
    kRecordArchiveAlt = 10,   // same body and handling as kRecordArchive
    kRecordScript = 11,       // bzip2 stream of a shell script
    kRecordEnvironment = 12,  // one name=value assignment, at most kEnvironmentMax bytes
    kRecordZstdArchive = 20,  // zstd frames of a tar archive; handled as kRecordArchive
    kRecordZstdScript = 21,   // zstd frames of a shell script; handled as kRecordScript
    kRecordProduct = 30,      // what the package installs: tagged fields (product_record.h)
    kRecordLicence = 31,      // the licence text, stored as it is
};

// How a record's body is compressed.
enum RecordCompression : int {
    kCompressionNone = 0,   // stored as it is (welcome, program, environment, product, licence)
    kCompressionBzip2 = 1,  // archive types 2 and 10, script type 11
    kCompressionZstd = 2,   // archive type 20, script type 21
};

// Longest environment record body, in bytes (a NUL must fit behind it).
constexpr uint32_t kEnvironmentMax = 1023;

// Longest record body and longest payload (header and records), in bytes: both are counted in
// 32-bit fields, so 4 GiB - 1.
constexpr uint64_t kRecordBodyMax = 0xFFFFFFFFu;
constexpr uint64_t kPayloadMax = 0xFFFFFFFFu;

// What a record carries, whatever its type number and encoding: code that treats every archive
// (or every script) alike asks this instead of listing type numbers.
enum record_kind : int {
    kKindInvalid = 0,  // no handler: the installer stops at such a record
    kKindWelcome,
    kKindArchive,  // a compressed tar archive
    kKindProgram,
    kKindScript,  // a compressed post-install script
    kKindEnvironment,
    kKindProduct,  // the product's description: name, version, sizes, defaults
    kKindLicence,  // the licence text
};

// Returns the kind of a record type; kKindInvalid for the types the format does not define.
record_kind record_kind_of(unsigned type);

// Returns non-zero for the record types the format defines.
int record_type_is_valid(unsigned type);

// Returns the RecordCompression of a record type's body (kCompressionNone for invalid types).
int record_compression(unsigned type);

// The 14 magic bytes and a NUL, filled by build_package_magic. The program image must never hold
// the 14 bytes in one piece (the header search would find the image instead of the payload), so
// they exist only in this buffer, written at run time.
extern char package_magic[16];

// Fills package_magic byte by byte: 0x01 "Install" NUL, then 0x07 "Magic" NUL at the end of that
// string. Idempotent.
void build_package_magic();

// The decoded fields of a package header.
struct package_header {
    uint32_t payload_length;
    uint32_t crc;
    uint32_t words[kHeaderWordCount];
};

// Writes h into the 172 bytes at out: magic (build_package_magic first), fields, zeros elsewhere.
void package_header_encode(const package_header *h, unsigned char out[kPackageHeaderSize]);

// Decodes the fields of the 172 bytes at in. Returns 1 when bytes 0..14 hold the magic and its NUL
// (compared as a NUL-terminated string), else 0; the fields are decoded either way.
int package_header_decode(const unsigned char in[kPackageHeaderSize], package_header *h);

// Returns the file offset of the first occurrence of the 14 magic bytes at or after start, or 0
// when there is none or a seek or read fails. Reads fd in chunks of 1024 bytes; a candidate that
// straddles a chunk end is re-read as the start of the next chunk, unless the chunk end plus 14
// passes limit. Touches the file position of fd.
uint32_t find_package_header(int fd, uint32_t start, uint32_t limit);

// A decoded record header.
struct record_header {
    uint32_t body_length;
    unsigned type;
};

void record_header_decode(const unsigned char in[kRecordHeaderSize], record_header *r);
void record_header_encode(const record_header *r, unsigned char out[kRecordHeaderSize]);

// Walks the record headers of a package, from the byte after the package header to end_offset.
// Offsets are 64-bit: a lying body length moves the cursor past the end, never round.
struct record_cursor {
    int fd;
    uint64_t pos;  // offset of the next record header
    uint64_t end;  // file size
};

void record_cursor_init(record_cursor *c, int fd, uint32_t payload_offset, uint64_t file_size);

// Reads the next record header into raw (and r when non-null) and returns 1, leaving the file
// position of fd at the record's body and *record_offset (may be null) at the record's offset.
// Returns 0 at the end of the file, -1 when fewer than 5 header bytes could be read.
int record_cursor_next(record_cursor *c, unsigned char raw[kRecordHeaderSize], record_header *r,
                       uint64_t *record_offset);

// Writes a package: header and records appended to a file that already holds the program image.
// The writer owns nothing; the caller opens and closes fd (read-write).
struct package_writer {
    int fd;
    uint64_t payload_offset;  // where the header went
    uint64_t end;             // where the next record goes
};

// Appends a header (payload length and CRC left zero) at the end of fd. Returns 0, or -1 on a
// write failure (errno set).
int package_writer_begin(package_writer *w, int fd);

// Appends one record whose body is n bytes at body. Returns 0 or -1 (errno set).
int package_writer_add(package_writer *w, unsigned type, const void *body, uint32_t n);

// Starts a record whose body the caller appends with package_writer_append, then closes it with
// package_writer_end_record, which fills in the body length. Returns 0 or -1.
int package_writer_begin_record(package_writer *w, unsigned type, uint64_t *record_offset);
int package_writer_append(package_writer *w, const void *data, uint32_t n);
int package_writer_end_record(package_writer *w, uint64_t record_offset);

// Overwrites n bytes already written at offset (a body whose figures are known only later), so
// that the payload keeps its length. Returns 0 or -1 (errno set).
// REQUIRES: w->payload_offset + kPackageHeaderSize <= offset and offset + n <= w->end.
int package_writer_overwrite(package_writer *w, uint64_t offset, const void *data, uint32_t n);

// Fills in the payload length and then the CRC of the whole file. Returns 0, or -1 on an I/O
// failure or a payload that does not fit the 32-bit fields.
int package_writer_finish(package_writer *w);

// Computes the CRC-32 of the whole file at fd with the 4 bytes at crc_offset counted as zero.
// Returns 0 and sets *crc, or -1 on a read failure.
int package_file_crc(int fd, uint64_t crc_offset, uint32_t *crc);

}  // namespace zn

#endif  // ZN_PACKAGE_PACKAGE_FORMAT_H
