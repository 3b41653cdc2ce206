#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/handlers.h"
#include "install/run_state.h"
#include "install/temp_program.h"
#include "lib/chk.h"
#include "package/bzunzip.h"
#include "package/package_reader.h"

namespace zn {

constexpr int kScriptBlock = 2048;  // bytes gathered before each write of the script
constexpr int kScriptCreateMode = 0644;
constexpr int kScriptRunMode = 0755;

namespace {

FILE *script_stream;
char script_buffer[kScriptBlock];
int script_fill;

// Gathers the script in blocks of kScriptBlock bytes; every call leaves the buffer empty, so
// the file receives the bytes in order.
int script_writer(bz_context *, const char *data, int count) {
    while (count > 0) {
        int n = kScriptBlock - script_fill < count ? kScriptBlock - script_fill : count;
        std::memcpy(script_buffer + script_fill, data, size_t(n));
        script_fill += n;
        data += n;
        count -= n;
        if (script_fill == kScriptBlock) {
            script_fill = 0;
            if (std::fwrite(script_buffer, kScriptBlock, 1, script_stream) != 1) {
                err_printf("zninstall: error writing to output stream\n");
                return -1;
            }
        }
    }
    if (script_fill > 0) {
        int n = script_fill;
        script_fill = 0;
        if (std::fwrite(script_buffer, size_t(n), 1, script_stream) != 1) {
            err_printf("zninstall: error writing to output stream(2)\n");
            return -1;
        }
    }
    return 0;
}

// The directory the script is told about: the chosen install directory, else the current one.
const char *install_root() {
    if (install_dir != nullptr) return install_dir;
    static char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? cwd : ".";
}

}  // namespace

int handle_script_record(int fd, const unsigned char *record_header) {
    char path[kTextBufferSize];

    // The environment keeps pointing at this string, so it is never freed.
    const char *root = install_root();
    size_t env_size = std::strlen(root) + 32;
    char *env = static_cast<char *>(chk_alloc(unsigned(env_size)));
    std::snprintf(env, env_size, "INSTALL_ROOT=%s", root);
    putenv_kept(env);
    if (dump_mode) return 0;
    if (noexec_mode) {
        skip_notice("Skipping post-install script\n");
        return 0;
    }

    int out = temp_program_create(path, sizeof path, kScriptCreateMode);
    std::printf("Extract script to %s\n", path);
    script_stream = out >= 0 ? fdopen(out, "w") : nullptr;
    if (script_stream == nullptr) {
        std::printf("Error: cannot create script file %s\n", path);
        std::fflush(stdout);
        temp_program_remove();
        std::exit(1);
    }

    script_fill = 0;
    int rc = record_body_unzip(fd, record_header, 0, script_writer);
    bool whole = rc == kBzOk;
    if (whole && std::fflush(script_stream) != 0) {
        err_printf("zninstall: error writing to output stream\n");
        whole = false;
    }
    if (std::fclose(script_stream) != 0 && whole) {
        err_printf("zninstall: error writing to output stream\n");
        whole = false;
    }
    script_stream = nullptr;

    if (debug_mode) {
        std::printf("%s created...waiting\n", path);
        run_shell("sh -i");
    }
    if (!whole) {
        temp_program_remove();
        return rc != kBzOk ? rc : -1;
    }

    // Made executable by its path only now, after the debug shell: whatever stands there then
    // is what runs.
    if (chmod(path, kScriptRunMode) < 0) {
        std::printf("Failed to chmod(%s, %o)\n", path, unsigned(kScriptRunMode));
        temp_program_remove();
        return -1;
    }
    int ran = run_program(path, nullptr, "Post-install script");
    temp_program_remove();
    return ran;
}

}  // namespace zn
