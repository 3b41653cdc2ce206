#include "lib/port.h"

#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zn {
namespace {

constexpr int kNotSupported = -2;  // result of the real-id shims

// Copies src into dst, cut to kPortNameMax characters.
void copy_name(char *dst, const char *src) {
    size_t n = strnlen(src, kPortNameMax);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

int _chdrive(int drive) {
    (void)drive;
    return 0;
}

int setmode(int fd, int mode) {
    (void)fd;
    (void)mode;
    return 0;
}

int closesocket(int fd) {
    return close(fd);
}

int ioctlsocket(int fd, unsigned long request, void *arg) {
    return ioctl(fd, request, arg);
}

int setruid(uid_t uid) {
    (void)uid;
    return kNotSupported;
}

int setrgid(gid_t gid) {
    (void)gid;
    return kNotSupported;
}

uint32_t sys_lseek64(int fd, uint32_t offset_high, uint32_t offset_low, int whence) {
    uint64_t bits = (static_cast<uint64_t>(offset_high) << 32) | offset_low;
    off64_t offset = static_cast<off64_t>(bits);
    off64_t now = lseek64(fd, offset, whence);
    return static_cast<uint32_t>(static_cast<uint64_t>(now) & 0xFFFFFFFFu);
}

int port_mkdir(const char *path, int mode) {
    return mkdir(path, static_cast<mode_t>(mode));
}

int get_hostname(char *buf, int len) {
    return gethostname(buf, static_cast<size_t>(len));
}

long my_gethostid() {
    return gethostid();
}

int get_nodename(char *dst) {
    dst[0] = '\0';
    struct utsname names;
    if (uname(&names) != 0) return -1;
    copy_name(dst, names.nodename);
    return 0;
}

int get_systemname(char *dst) {
    dst[0] = '\0';
    struct utsname names;
    if (uname(&names) != 0) return -1;
    copy_name(dst, names.sysname);
    return 0;
}

}  // namespace zn
