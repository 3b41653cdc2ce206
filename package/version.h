// The version of zninstall and znpack, which are released together: the installer shows it as
// "ZNINSTALL v1.007", the package tool as "znpack 1.007" (major.minor, the minor in three digits).
#ifndef ZN_PACKAGE_VERSION_H
#define ZN_PACKAGE_VERSION_H

namespace zn {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 7;

}  // namespace zn

#endif  // ZN_PACKAGE_VERSION_H
