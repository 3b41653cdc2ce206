// The wildcard flag word: one int passed unchanged from the expansion entry points through the
// globber to the matcher.
#ifndef ZN_WILD_WILD_FLAGS_H
#define ZN_WILD_WILD_FLAGS_H

namespace zn {

enum : int {
    WILD_FILES = 0x1,      // a glob that met a wildcard keeps non-directories
    WILD_DIRS = 0x2,       // a glob that met a wildcard keeps directories
    WILD_DOTFILES = 0x10,  // a leading "*" may match a leading "."; dot entries join the fallback
    WILD_ALL_DIRS = 0x20,  // during a directory scan every subdirectory counts as matching
    WILD_SORT_NOCASE = 0x40,   // result names sort with strcasecmp instead of strcmp
    WILD_DIRS_FIRST = 0x80,    // directories sort before other entries
    WILD_NOSORT = 0x100,       // the glob result stays in scan order
    WILD_BRACE_MODE3 = 0x200,  // shell_expand uses brace-expansion mode 3 instead of 2
    WILD_IGNORE_CASE = 0x400,  // literal pattern bytes match without regard to ASCII case
    WILD_TREE_NESTED = 0x800,  // set by expand_directory_tree below its first level; not tested
    WILD_LSTAT = 0x1000,       // status is taken with lstat64 (symbolic links not followed)
};

}  // namespace zn

#endif  // ZN_WILD_WILD_FLAGS_H
