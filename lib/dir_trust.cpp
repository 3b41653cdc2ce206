#include "lib/dir_trust.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace zn {

// Layout of the system.posix_acl_access attribute: a 4-byte version, then entries of 8 bytes
// (tag, permissions, id), all little-endian.
constexpr int kAclHeaderSize = 4;
constexpr uint32_t kAclVersion = 2;
constexpr int kAclEntrySize = 8;
constexpr unsigned kAclTagNamedUser = 0x02;
constexpr unsigned kAclTagMask = 0x10;
constexpr unsigned kAclPermWrite = 0x02;
constexpr int kAclMaxEntries = 1024;  // more than any file system stores for one file

namespace {

unsigned get16(const unsigned char *p) {
    return unsigned(p[0]) | unsigned(p[1]) << 8;
}

uint32_t get32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when the access ACL of the directory at fd lets a named user write: an entry for a named
// user with write permission, which the mask (when there is one) lets through. An attribute that
// cannot be read whole, or does not parse, counts as letting one write.
bool acl_lets_a_user_write(int fd) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    static unsigned char acl[kAclHeaderSize + kAclMaxEntries * kAclEntrySize];
    ssize_t n = getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    // No attribute, a file system without them, or no /proc to read them through: the mode
    // bits are all there is. Anything else is an attribute that could not be read whole.
    if (n < 0) return errno != ENODATA && errno != ENOTSUP && errno != ENOENT;
    if (n < kAclHeaderSize || (n - kAclHeaderSize) % kAclEntrySize != 0 ||
        get32(acl) != kAclVersion)
        return true;
    bool user_writes = false;
    unsigned mask = kAclPermWrite;  // without a mask entry, named users get what they are given
    for (ssize_t at = kAclHeaderSize; at < n; at += kAclEntrySize) {
        unsigned tag = get16(acl + at), perm = get16(acl + at + 2);
        if (tag == kAclTagNamedUser && (perm & kAclPermWrite)) user_writes = true;
        if (tag == kAclTagMask) mask = perm;
    }
    return user_writes && (mask & kAclPermWrite);
}

}  // namespace

int dir_trust(int fd, const struct stat *st, uid_t uid, int rule) {
    if (st->st_uid != uid && st->st_uid != 0) return kTrustOwner;
    bool sticky_counts = rule == kTrustOnTheWay && (st->st_mode & S_ISVTX);
    if ((st->st_mode & S_IWOTH) && !sticky_counts) return kTrustOthersWrite;
    if ((st->st_mode & S_IWGRP) && !sticky_counts && acl_lets_a_user_write(fd))
        return kTrustAclWrite;
    return kTrustOk;
}

const char *dir_trust_reason(int result) {
    switch (result) {
        case kTrustOwner:
            return "owned by another user";
        case kTrustOthersWrite:
            return "others may write to it";
        case kTrustAclWrite:
            return "its ACL lets another user write to it";
        default:
            return "trusted";
    }
}

}  // namespace zn
