// System shims: one set of names for the support library on every platform. Each is one call,
// its result passed through unless said otherwise. Those that exist for other platforms' needs
// (drives, binary file modes, real-id switching) do nothing here.
#ifndef ZN_LIB_PORT_H
#define ZN_LIB_PORT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

namespace zn {

// The large-file status record and calls of this platform: struct stat64 with stat64 (symbolic
// links followed) and lstat64 (not followed). Both touch the disk.
using ::lstat64;
using ::stat64;

// Characters of a node or system name that get_nodename / get_systemname keep; their dst needs
// one byte more.
constexpr int kPortNameMax = 256;

// Does nothing; returns 0. There are no drives here.
int _chdrive(int drive);

// Does nothing; returns 0. Files have no text or binary mode here.
int setmode(int fd, int mode);

// Returns close(fd).
int closesocket(int fd);

// Returns ioctl(fd, request, arg).
int ioctlsocket(int fd, unsigned long request, void *arg);

// Do nothing; return -2.
int setruid(uid_t uid);
int setrgid(gid_t gid);

// Seeks fd with the 64-bit offset (high word << 32 | low word, taken as signed, so a high word
// of 0xFFFFFFFF seeks backwards from SEEK_CUR or SEEK_END). Returns the low 32 bits of the new
// offset; on failure 0xFFFFFFFF with errno set (a caller that must tell that from a real offset
// whose low word is all ones clears errno first).
uint32_t sys_lseek64(int fd, uint32_t offset_high, uint32_t offset_low, int whence);

// Returns mkdir(path, mode). Touches the disk.
int port_mkdir(const char *path, int mode);

// Returns gethostname(buf, len).
int get_hostname(char *buf, int len);

// Returns gethostid().
long my_gethostid();

// Sets dst to "", then copies the node name (the network name of this machine, cut to
// kPortNameMax characters) into it. Returns 0, or -1 when uname fails (dst stays "").
// REQUIRES: dst has room for kPortNameMax + 1 bytes.
int get_nodename(char *dst);

// As get_nodename for the operating system's name ("Linux", "SunOS").
// REQUIRES: dst has room for kPortNameMax + 1 bytes.
int get_systemname(char *dst);

}  // namespace zn

#endif  // ZN_LIB_PORT_H
