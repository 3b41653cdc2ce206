// File-name utilities: the one place where the support library asks questions about naming rules
// (which character separates components, whether a name is absolute, how a directory and a name
// are joined, where the last or the n-th component starts, what the extension is).
//
// On this platform '/' is the only component delimiter, names are case-sensitive, and there are
// no drive letters and no network names. The operations that exist for those rules stay in the
// interface, because callers use them at fixed points of their algorithms; here they are
// identities or return 0. A backslash is an ordinary character everywhere except at one point of
// filename_append_filename.
//
// Every operation here is purely textual: it does not look at the file system. Results are either
// a pointer into the argument (never freed) or a new string from lib/chk.h that the caller owns
// and releases with chk_free; each declaration says which.
#ifndef ZN_LIB_FILENAME_H
#define ZN_LIB_FILENAME_H

namespace zn {

// The separator that joining inserts and that filename_delimiter returns: "/". Nothing assigns
// it; the wildcard engine reads it too.
extern const char *wild_filename_delimiter;

// Returns 1 if ch is '/', else 0.
int filename_is_delim(int ch);

// Returns 1 if the first character of name is a delimiter, else 0 (0 for an empty name).
int is_absolute(const char *name);

// Returns wild_filename_delimiter.
const char *filename_delimiter();

// Returns ":", the separator of the elements of a search list such as PATH.
const char *filename_path_delimiter();

// Return a pointer into name at its first / last '/', or null when it has none. The char *
// forms are for callers that cut the name in place at that point.
const char *filename_first_component(const char *name);
const char *filename_last_component(const char *name);
inline char *filename_first_component(char *name) {
    return const_cast<char *>(filename_first_component(static_cast<const char *>(name)));
}
inline char *filename_last_component(char *name) {
    return const_cast<char *>(filename_last_component(static_cast<const char *>(name)));
}

// Returns a pointer into name at its n-th '/' counted from the start (first form) or from the
// end (second form), or null when there are fewer. n of 1 or less finds the first delimiter met.
// Null for an empty name.
const char *filename_nth_first_component(const char *name, int n);
const char *filename_nth_last_component(const char *name, int n);

// Returns a pointer into name just after the last '.' of its last component ("gz" for
// "x.tar.gz", "" for "x.", "profile" for ".profile"), or null when the last component has none.
const char *filename_extension(const char *name);

// Returns a pointer to the last '.' (the dot included) of filename_basename(name), or null.
// Like filename_basename it may cut trailing delimiters off name in place, and for an empty name
// it points into the static "." that basename gives.
char *file_extension(char *name);

// Returns the system's POSIX basename(name): a pointer into name, or to a static "." (empty
// name) or "/" (a name of delimiters only). Trailing delimiters are cut off name in place.
char *filename_basename(char *name);

// Returns a new string: the directory part of name. No '/' gives "."; a last '/' that is the
// first character gives "/"; otherwise name cut just before its last '/' (only that one is
// removed: "a//b" gives "a/", "a/b/" gives "a/b"). name is never modified. Caller frees.
char *dirname(const char *name);

// Same as dirname.
char *filename_dirname(const char *name);

// Returns a new string: name without its last n components, a trailing '/' counting as the
// delimiter of an empty last component ("a/b/",1 gives "a/b"; "/a/b/c",2 gives "/a").
// Results where the name runs out of components:
//   - a relative name without enough delimiters gives "." ("a",1; "a/b",2);
//   - an absolute name whose root delimiter is reached gives "/" ("/a",1; "/a/b",5), as dirname;
//   - an empty name gives ".";
//   - n below 1 removes nothing: a copy of name.
// Caller frees.
char *filename_dirname2(const char *name, int n);

// Returns a new string: name joined to dir.
//   1. name absolute, or dir empty: a copy of name as it stands.
//   2. name empty: a copy of dir as it stands.
//   3. otherwise dir, then wild_filename_delimiter unless dir already ends in '/' or '\', then
//      name, passed through string_normalize_quotes.
// Caller frees.
char *filename_append_filename(const char *dir, const char *name);

// Returns a new string: s with its double quotes normalised. Every '"' is dropped; when s holds
// at least one space and at least one '"', the whole result is put inside one pair of quotes
// ("a \"b\" c" gives "\"a b c\""; "\"a\"b" gives "ab"). Caller frees.
char *string_normalize_quotes(const char *s);

// Returns strcmp(a, b): names compare byte-wise and case-sensitively here.
int filename_strcmp(const char *a, const char *b);

// Return a new copy of name, unchanged (there are no short and long forms here). Caller frees.
char *filename_long_to_short(const char *name);
char *filename_short_to_long(const char *name);

// Return 0: no drive letters and no network names here.
int filename_get_drive(const char *name);
int is_unc_filename(const char *name);

// Return name itself: there is no drive or network prefix to skip.
const char *filename_skip_drive(const char *name);
const char *filename_skip_unc(const char *name);
inline char *filename_skip_drive(char *name) {
    return name;
}
inline char *filename_skip_unc(char *name) {
    return name;
}

// In-place conversions that leave name unchanged here (one delimiter, case-sensitive names).
// Each returns name.
char *forwardslash_to_back(char *name);
char *backslash_to_fwd(char *name);
char *monocase_filename(char *name);
char *filename_normalize(char *name);

// If flag >= 0 the monocase setting becomes flag; returns the setting after that, so a negative
// flag only queries it. Starts at 0. Nothing here behaves differently according to it.
int filename_monocase_enable(int flag);

// Copies src with its terminating NUL to dst and returns dst; the two may overlap.
// REQUIRES: dst has room for strlen(src) + 1 bytes.
char *overlap_strcpy(char *dst, const char *src);

}  // namespace zn

#endif  // ZN_LIB_FILENAME_H
