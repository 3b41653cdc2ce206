// `znpack extract`: unpacks a package into a directory without running any of it, so that a
// package's contents can be seen before it is installed. A command: results on standard output,
// failures on standard error, the exit status returned.
//
// It is for looking, not for installing: the directory must be new or empty, so that nothing
// that was there is replaced, and nothing written is set-user-ID, set-group-ID or writable by
// others, so that a program from a package not yet vetted never runs with another user's
// rights. The package is checked first, as `znpack verify` does; a damaged package (a product
// record that does not decode included) is not unpacked. Then, in file order, every archive
// record goes into the directory through the installer's own tar reader, with all its
// protections (nothing is written outside the directory, nothing through a symbolic link), the
// product record's fields are printed as "product: ..." and every environment setting as
// "env NAME=VALUE". After the archives, so that no archive entry can replace them, the licence,
// the welcome text, the script and every program are written as files of mode 0644 (never
// executable) named licence.txt, welcome.txt, postinstall.sh and program; a name already taken
// gets "-2", "-3", ... before its extension. Nothing from the package is run.
#ifndef ZN_PACK_PACK_EXTRACT_H
#define ZN_PACK_PACK_EXTRACT_H

namespace zn {

// Unpacks the package at path into dir, created with its missing parents when it does not exist;
// an existing dir that is not empty is refused. Prints one line with the number of entries whose
// set-user-ID or set-group-ID bit was taken off. Returns 0 when everything was unpacked, 1 when
// the package failed its checks, dir was refused or anything could not be unpacked (each cause
// reported). Writes only below dir.
int pack_extract(const char *path, const char *dir);

}  // namespace zn

#endif  // ZN_PACK_PACK_EXTRACT_H
