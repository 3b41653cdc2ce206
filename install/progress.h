// The progress line: with -progress (or a product whose record asks for it) one status line
// replaces the "Extracting" line of each entry: the percentage done, the bytes and files
// unpacked, the rate and the time left.
//
// The percentage counts unpacked bytes against the product record's total when there is one,
// else compressed bytes read against the archive records' bodies. On a terminal the line is
// rewritten in place at most ten times a second and a message about a failure first clears it;
// elsewhere a line is printed at each tenth. The last one shows 100%.
#ifndef ZN_INSTALL_PROGRESS_H
#define ZN_INSTALL_PROGRESS_H

#include "package/tar_reader.h"

namespace zn {

// Whether the progress line replaces the "Extracting" lines in this run: -progress, or the
// product's default, unless -verbose. Reads the run state and the product record.
int progress_wanted();

// Makes r report to the progress line, before it reads an archive.
void progress_attach(tar_reader *r);

// After that archive: ends the line (at 100% when it was the package's last archive and was
// installed whole).
void progress_detach(int whole);

}  // namespace zn

#endif  // ZN_INSTALL_PROGRESS_H
