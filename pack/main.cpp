// znpack: builds, lists, verifies and extracts zninstall packages.
#include "pack/znpack.h"

int main(int argc, char **argv) {
    return zn::znpack_main(argc, argv);
}
