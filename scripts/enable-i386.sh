#!/bin/bash
# Wine runs 32-bit Windows programs through a 32-bit Linux process. Some machines (sandboxed
# kernels) cannot execute 32-bit Linux code; there the i386 ELF format is handed to qemu-i386
# through binfmt_misc. Needs root. Does nothing where 32-bit code already runs.
set -euo pipefail
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then exit 0; fi
command -v qemu-i386 >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user >/dev/null
}
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
        >/proc/sys/fs/binfmt_misc/register
fi
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "cannot run 32-bit code on this machine" >&2; exit 1; }
