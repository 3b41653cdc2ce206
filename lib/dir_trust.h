// Whether a directory is out of reach of users other than the installing one and root.
//
// A directory that another user owns, or that others may write to, lets that user rename or
// replace what is created in it; so does one whose access ACL gives write permission to a named
// user. Group members are trusted: a group-writable directory (a team's shared prefix) passes,
// and so does an ACL entry for a named group, which is no more than the group bits allow.
#ifndef ZN_LIB_DIR_TRUST_H
#define ZN_LIB_DIR_TRUST_H

#include <sys/stat.h>
#include <sys/types.h>

namespace zn {

// Results of dir_trust, the reasons a directory is refused.
enum dir_trust_result : int {
    kTrustOk = 0,
    kTrustOwner = 1,        // owned by neither the user nor root
    kTrustOthersWrite = 2,  // others may write to it (without the sticky bit, where that counts)
    kTrustAclWrite = 3,     // its access ACL lets a named user write to it
};

// What may write to a directory that still passes.
enum dir_trust_rule : int {
    kTrustOnTheWay = 0,  // a directory passed through: others may write with the sticky bit (/tmp)
    kTrustStrict = 1,    // a directory written into: nobody else may write, sticky or not
};

// Applies the rule to the directory st describes, open at fd (any descriptor of it, O_PATH
// included). The access ACL is read only when the group bits allow writing (with an ACL they
// show its mask, without which no named user can write); it is read through /proc/self/fd, so
// that no read permission on the directory is needed. Returns kTrustOk or the reason it is
// refused. Touches the disk.
int dir_trust(int fd, const struct stat *st, uid_t uid, int rule);

// A short text for a dir_trust result ("owned by another user", ...). Purely textual.
const char *dir_trust_reason(int result);

}  // namespace zn

#endif  // ZN_LIB_DIR_TRUST_H
