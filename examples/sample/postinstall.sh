#!/bin/sh
# Post-install script of the sample product: records where the product was installed and its
# version, using what the installer passes on.
conf="$INSTALL_ROOT/etc/zantho.conf"
mkdir -p "$INSTALL_ROOT/etc"
cat > "$conf" <<CONF
# Written by the installer's post-install script.
ZANTHO_HOME='$INSTALL_ROOT'
ZANTHO_VERSION='$ZANTHO_VERSION'
ZN_BINDIR='$ZN_BINDIR'
CONF
echo "Zantho $ZANTHO_VERSION configured in $conf"
# The demo command asks where the product went: tell it.
if [ -n "${ZN_SAMPLE_REPORT:-}" ]; then
    printf '%s\n' "$INSTALL_ROOT" > "$ZN_SAMPLE_REPORT"
fi
