// Whether anyone but the installing user and root can change where a path leads.
//
// An install directory that another user can change lets that user replace what was extracted
// before the post-install script runs it, or put it somewhere else altogether; so can a
// directory on the way to it, and a symbolic link on the way that another user planted in a
// shared directory such as /tmp.
#ifndef ZN_INSTALL_PATH_TRUST_H
#define ZN_INSTALL_PATH_TRUST_H

#include <sys/types.h>

namespace zn {

constexpr int kTrustMaxLinks = 40;  // symbolic links followed in one path before giving up

// Inspects path (absolute, or taken from the current directory) from the root down, taking each
// existing component with lstat and following symbolic links as the kernel would ("..", after a
// link, leaves the link's target). It refuses:
//   - a directory owned by neither uid nor root;
//   - a directory that others may write to (S_IWOTH) without the sticky bit;
//   - a symbolic link owned by neither uid nor root inside a directory that others may write to
//     and that has the sticky bit (a link planted in /tmp).
// It accepts everything else, group-writable directories included (a team's shared prefix), and
// a sticky directory that others may write to (such as /tmp itself). It stops, accepting, at the
// first component that does not exist, is not a directory or a link, or cannot be inspected, and
// after kTrustMaxLinks links: what lies beyond cannot be entered or created there either.
//
// Returns 0 when the path is accepted; -1 when it is refused, with *culprit set to a new string
// (free it with chk_free): the path of the offending directory or link, as reached through the
// links before it. Touches the disk (lstat, readlink); for a relative path, reads the current
// directory.
int path_trust_check(const char *path, uid_t uid, char **culprit);

}  // namespace zn

#endif  // ZN_INSTALL_PATH_TRUST_H
