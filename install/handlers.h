// The record handlers, one per record type. Each is called by the record walk with the package
// descriptor at the record's body and the 5 bytes of the record header, and returns 0 for
// success (see record_handler in run_state.h). A handler may end the run itself with a message
// and status 1.
#ifndef ZN_INSTALL_HANDLERS_H
#define ZN_INSTALL_HANDLERS_H

#include <cstdint>

namespace zn {

// Type 1: shows the welcome text word-wrapped at 75 columns, asks for the install directory
// (creating it on request) and changes into it, setting install_dir. In dump mode the text is
// consumed silently and nothing is asked. Returns 0 or ends the run.
int handle_welcome_record(int fd, const unsigned char *record_header);

// Type 12: puts one name=value text (at most 1023 bytes; a NUL in the body ends it) into the
// environment, echoing it on standard output unless in dump mode. Returns 0 or ends the run.
int handle_environment_record(int fd, const unsigned char *record_header);

// The body reads of the environment handler, without its messages: reads the body (the descriptor
// at its first byte) into text and puts a NUL behind it. Returns 0, -1 when the body is longer
// than kEnvironmentMax bytes (nothing is read), -2 when the file ends first.
// REQUIRES: text has room for kEnvironmentMax + 1 bytes.
int environment_record_read(int fd, const unsigned char *record_header, char *text);

// Type 7: copies the body to the temporary file, runs it (with "/quiet" under -quiet), waits and
// removes it. Returns 0 when it ran (whatever its exit status), -2 when the body was short, -1
// when the file could not be written; ends the run when the file cannot be created.
int handle_program_record(int fd, const unsigned char *record_header);

// The body copy of the program handler, without its messages: copies length bytes from fd (at
// the body) to out_fd in chunks of at most 4096 bytes. Returns 0; -2 when fd ends first, -1 when
// out_fd takes fewer bytes than given; on failure *chunk is the size of the chunk that failed.
int program_record_copy(int fd, uint32_t length, int out_fd, int *chunk);

// Types 2, 10 and 20: unpacks the compressed tar archive into the current directory, or writes the
// decompressed stream to standard output in dump mode. Returns 0 when the archive was installed
// whole, non-zero when anything kept it from that (each cause reported as it happened).
int handle_archive_record(int fd, const unsigned char *record_header);

// Types 11 and 21: sets INSTALL_ROOT, writes the decompressed script to the temporary file, runs it
// and removes it (only INSTALL_ROOT in dump mode). Returns 0, or non-zero when the script could not
// be written whole, in which case it is neither made executable nor run.
int handle_script_record(int fd, const unsigned char *record_header);

// The write callback of dump mode: copies the bytes to standard output.
struct bz_context;
int stdout_writer(bz_context *ctx, const char *data, int count);

}  // namespace zn

#endif  // ZN_INSTALL_HANDLERS_H
