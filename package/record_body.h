// What both tools read from the bodies of records: an environment setting, a stored program and
// an archive fed to the tar reader. The installer's handlers and znpack's extract put their own
// messages around these.
#ifndef ZN_PACKAGE_RECORD_BODY_H
#define ZN_PACKAGE_RECORD_BODY_H

#include <cstdint>

namespace zn {

// An environment record's body, without messages: reads it (the descriptor
// at its first byte) into text and puts a NUL behind it. Returns 0, -1 when the body is longer
// than kEnvironmentMax bytes (nothing is read), -2 when the file ends first.
// REQUIRES: text has room for kEnvironmentMax + 1 bytes.
int environment_record_read(int fd, const unsigned char *record_header, char *text);

// A program record's body, without messages: copies length bytes from fd (at
// the body) to out_fd in chunks of at most 4096 bytes. Returns 0; -2 when fd ends first, -1 when
// out_fd takes fewer bytes than given; on failure *chunk is the size of the chunk that failed.
int program_record_copy(int fd, uint32_t length, int out_fd, int *chunk);

// The archive of an archive record (the descriptor at the body) fed to r on this thread, which
// is then finished and committed: what could be unpacked into r's root stays, also when
// something failed (nothing is made durable); or listed when r lists. Returns 0 when the archive
// was read whole and nothing failed, 1 otherwise (each cause reported as it happened).
struct tar_reader;
int archive_record_read(int fd, const unsigned char *record_header, tar_reader *r);

}  // namespace zn

#endif  // ZN_PACKAGE_RECORD_BODY_H
