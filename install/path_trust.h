// Reaching a directory so that nobody but the installing user and root can steer where it leads.
//
// An install directory that another user can change lets that user replace what was extracted
// before the post-install script runs it, or put it somewhere else altogether; so can a
// directory on the way to it, and a symbolic link on the way that another user planted in a
// shared directory such as /tmp. Checking a path and then using it leaves a window in which such
// a user can change it; so the directory is reached by descriptors, one component at a time,
// each checked on the descriptor that is then used to go on, and the caller enters the last one
// (fchdir) or works below it.
#ifndef ZN_INSTALL_PATH_TRUST_H
#define ZN_INSTALL_PATH_TRUST_H

#include <sys/types.h>

namespace zn {

constexpr int kTrustMaxLinks = 40;  // symbolic links followed in one path before giving up

// Flags of path_trust_open.
enum : int {
    kPathCreateParents = 1,  // make missing directories on the way (mode 0755 less the umask)
    kPathCreateLast = 2,     // make the last component when it is missing
    kPathStrictLast = 4,     // the directory reached may not be writable by others, sticky or not
};

// Results of path_trust_open.
enum : int {
    kPathOk = 0,
    kPathRefused = -1,  // a directory or link that another user could change (*culprit set)
    kPathMissing = -2,  // a component does not exist and was not to be made (errno ENOENT)
    kPathFailed = -3,   // a component is not a directory, cannot be searched, or loops (errno)
    kPathNotMade = -4,  // a missing component could not be made (errno from mkdir)
};

// Walks path (absolute, or taken from the current directory's path) from the root: each
// component is opened with O_PATH | O_NOFOLLOW | O_DIRECTORY (no read permission needed) and
// checked with fstat on that descriptor by dir_trust (kTrustOnTheWay: the owner must be uid or
// root, others may write only with the sticky bit, an ACL that lets a named user write counts as
// others). A symbolic link is read and followed as the kernel would ("..", after a link, leaves
// the link's target), and refused when another user owns it inside a sticky directory that
// others may write to. Missing components are made with mkdirat as flags allow and opened. The
// directory reached is checked once more with kTrustStrict when flags hold kPathStrictLast.
//
// Returns kPathOk with *fd an O_PATH descriptor of the directory reached (the caller closes it),
// or one of the failures above. On every result but kPathOk, *culprit is a new string (free it
// with chk_free): the path of the directory or link refused, or of the component that is
// missing or failed, as reached through the links before it. Touches the disk; for a relative
// path, reads the current directory.
int path_trust_open(const char *path, uid_t uid, int flags, int *fd, char **culprit);

}  // namespace zn

#endif  // ZN_INSTALL_PATH_TRUST_H
