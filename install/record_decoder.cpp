#include "install/record_decoder.h"

#include "install/bz_parallel.h"
#include "install/package_format.h"
#include "install/zstd_unzip.h"

namespace zn {

unzip_fn record_decoder(const unsigned char *record_header) {
    return record_compression(record_header[kRecordTypeOffset]) == kCompressionZstd ? zstd_unzip
                                                                                    : bz_decode;
}

}  // namespace zn
