// znpack: builds, lists and verifies zninstall packages.
#include "pack/znpack.h"

int main(int argc, char **argv) {
    return zn::znpack_main(argc, argv);
}
