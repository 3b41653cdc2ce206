// Linked into the self-contained installer only, ahead of the static libzstd: stand-ins for the
// entry points of the library's decoders of its pre-standard formats (0.5 to 0.7), so that the
// linker never pulls those decoders, some 90 KB, out of the archive. The installer reads only
// standard frames (zstd_unzip refuses every other magic number before the library sees it), so
// none of these is ever called; if one were, it would refuse, as the library does for data it
// does not know: constructors return null, every other call an error result.
//
// The names and parameters are the library's; they are C symbols and take plain C types here.
#include <zstd.h>
#include <zstd_errors.h>

#include <cstddef>

namespace {

// The library's error result for data of a format it does not know.
constexpr size_t kRefused = size_t(0) - size_t(ZSTD_error_prefix_unknown);

}  // namespace

#define ZN_REFUSE_LEGACY_FORMAT(v)                                                        \
    extern "C" {                                                                          \
    void *ZSTDv##v##_createDCtx(void) {                                                   \
        return nullptr;                                                                   \
    }                                                                                     \
    size_t ZSTDv##v##_freeDCtx(void *) {                                                  \
        return 0;                                                                         \
    }                                                                                     \
    size_t ZSTDv##v##_decompress_usingDict(void *, void *, size_t, const void *, size_t,  \
                                           const void *, size_t) {                        \
        return kRefused;                                                                  \
    }                                                                                     \
    size_t ZSTDv##v##_getFrameParams(void *, const void *, size_t) {                      \
        return kRefused;                                                                  \
    }                                                                                     \
    void ZSTDv##v##_findFrameSizeInfoLegacy(const void *, size_t, size_t *c_size,         \
                                            unsigned long long *d_bound) {                \
        *c_size = kRefused;                                                               \
        *d_bound = ZSTD_CONTENTSIZE_ERROR;                                                \
    }                                                                                     \
    void *ZBUFFv##v##_createDCtx(void) {                                                  \
        return nullptr;                                                                   \
    }                                                                                     \
    size_t ZBUFFv##v##_freeDCtx(void *) {                                                 \
        return 0;                                                                         \
    }                                                                                     \
    size_t ZBUFFv##v##_decompressInitDictionary(void *, const void *, size_t) {           \
        return kRefused;                                                                  \
    }                                                                                     \
    size_t ZBUFFv##v##_decompressContinue(void *, void *, size_t *dst_size, const void *, \
                                          size_t *src_size) {                             \
        *dst_size = 0;                                                                    \
        *src_size = 0;                                                                    \
        return kRefused;                                                                  \
    }                                                                                     \
    }

ZN_REFUSE_LEGACY_FORMAT(05)
ZN_REFUSE_LEGACY_FORMAT(06)
ZN_REFUSE_LEGACY_FORMAT(07)
