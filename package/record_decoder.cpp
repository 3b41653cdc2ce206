#include "package/record_decoder.h"

#include "package/bz_parallel.h"
#include "package/package_format.h"
#include "package/zstd_unzip.h"

namespace zn {

unzip_fn record_decoder(const unsigned char *record_header) {
    return record_compression(record_header[kRecordTypeOffset]) == kCompressionZstd ? zstd_unzip
                                                                                    : bz_decode;
}

}  // namespace zn
