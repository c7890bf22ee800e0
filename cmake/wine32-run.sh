#!/usr/bin/env bash
# Runs a Windows x86 program under Debian's 32-bit wine, emulated by qemu-i386-static: this kernel
# cannot execute 32-bit code itself. scripts/setup.sh unpacks that wine into a cache folder.
#   wine32-run.sh PROGRAM.exe ARGS...
# Each run gets a prefix of its own (two processes on one prefix stall waiting for a boot event that
# never comes); the prefix's server is started detached, so that it holds no output pipe of the
# caller, and the prefix is removed once that server has gone.
root=${VEK_WINE32_DIR:-$HOME/.cache/vek-wine32}
if [[ ! -x $root/usr/lib/wine/wine-preloader ]]; then
  echo "wine32-run: no 32-bit wine in $root (run scripts/setup.sh)" >&2
  exit 127
fi
prefix=$(mktemp -d "${TMPDIR:-/tmp}/vek-wine32.XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" QEMU_LD_PREFIX=$root
# WINELOADERNOEXEC: wine must not re-execute itself (the kernel refuses 32-bit programs);
# WINEBOOTSTRAPMODE: built-in DLLs come from wine's own tree, as wineboot cannot run.
export WINELOADERNOEXEC=1 WINEBOOTSTRAPMODE=1
# Wine reads the command line in the locale's character set: UTF-8, so that any file name arrives.
export LC_ALL=C.UTF-8
/usr/lib/wine/wineserver64 >/dev/null 2>&1 </dev/null
qemu-i386-static "$root/usr/lib/wine/wine-preloader" /usr/lib/wine/wine "$@"
status=$?
/usr/lib/wine/wineserver64 -k >/dev/null 2>&1
/usr/lib/wine/wineserver64 -w >/dev/null 2>&1
rm -rf "$prefix"
exit $status
