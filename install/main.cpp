// The installer program: options, then the installation itself.
#include "install/driver.h"

int main(int argc, char **argv) {
    zn::parse_options(argc, argv);
    return zn::zninstall(0, argv[0]);
}
