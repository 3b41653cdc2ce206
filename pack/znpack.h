// The znpack command line:
//   znpack build -o OUT [--stub INSTALLER] [--compress bzip2|zstd[:LEVEL]] [--threads N]
//                [--name TEXT] [--version TEXT] [--default-dir DIR] [--progress]
//                [--license FILE] RECORD...
//   znpack list PKG
//   znpack verify PKG
//   znpack extract PKG DIR
//   znpack [COMMAND] --help
//   znpack --version
// where each RECORD is one of --env NAME=VALUE, --welcome FILE, --archive DIR|FILE.tar,
// --script FILE, --program FILE, added in the order given after the product record (built from
// the product options and the archives) and the licence record. --compress applies to every
// archive and script; --threads to their compression. --version names the product's version
// after "build", and asks for znpack's own version in place of a command.
#ifndef ZN_PACK_ZNPACK_H
#define ZN_PACK_ZNPACK_H

#include <cstdint>

namespace zn {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a command failed, or verify found a fault
constexpr int kExitUsage = 2;   // the command line was wrong

// Parses SOURCE_DATE_EPOCH text: decimal seconds, no sign, no blanks. Returns 0 and sets *out,
// or -1 (pack_error set). Purely textual.
int znpack_parse_epoch(const char *text, int64_t *out);

// Runs the command in argv and returns the exit status. Messages go to standard error, results
// to standard output. Reads the environment (SOURCE_DATE_EPOCH).
int znpack_main(int argc, char **argv);

}  // namespace zn

#endif  // ZN_PACK_ZNPACK_H
