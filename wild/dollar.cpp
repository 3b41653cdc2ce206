#include "wild/dollar.h"

#include <cstdlib>
#include <cstring>

#include "lib/chk.h"
#include "lib/ctype_table.h"
#include "string/dstr.h"

namespace zn {

namespace {

bool is_name_start(char c) {
    return ctype_is(static_cast<unsigned char>(c), kCtypeAlpha) || c == '_';
}

bool is_name_char(char c) {
    return ctype_is(static_cast<unsigned char>(c), kCtypeAlpha | kCtypeDigit) || c == '_';
}

}  // namespace

char *wild_dollar_substitute(const char *text) {
    size_t len = std::strlen(text);
    const char *dollar = std::strchr(text, '$');
    if (!dollar) {
        char *copy = static_cast<char *>(chk_alloc(unsigned(len + 1)));
        std::memcpy(copy, text, len + 1);
        return copy;
    }
    dstr out;
    dstr_init(&out, int(len + 1));
    dstr_add_mem(&out, text, int(dollar - text));
    const char *s = dollar;
    while (*s) {
        // 1. Plain bytes, and a "$" that cannot start a name, are copied.
        if (*s != '$' || !is_name_start(s[1])) {
            dstr_add_char(&out, *s++);
            continue;
        }
        // 2. "\$NAME": the backslash, already copied, gives way to the "$".
        if (s > text && s[-1] == '\\') {
            if (out.dl_len > 0 && out.dl_ptr[out.dl_len - 1] == '\\') out.dl_len--;
            dstr_add_char(&out, *s++);
            continue;
        }
        // 3. A reference: look up at most kDollarNameMax characters, consume them all.
        char name[kDollarNameMax + 1];
        int n = 0;
        for (s++; is_name_char(*s); s++) {
            if (n < kDollarNameMax) name[n++] = *s;
        }
        name[n] = 0;
        const char *value = std::getenv(name);
        if (value) dstr_add_mem(&out, value, int(std::strlen(value)));
    }
    dstr_add_char(&out, 0);
    return out.dl_ptr;
}

}  // namespace zn
