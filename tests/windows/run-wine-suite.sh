#!/bin/bash
# tests/windows/run-wine-suite.sh BUILD_DIR: runs the CTest suite of a Windows build. Wine gets the
# build's own prefix (made once, by wineboot) and a persistent wineserver for the whole run, which
# is stopped however the run ends. Where the build's Wine is missing (wine32 could not be installed)
# or cannot run (a 32-bit Wine on a kernel without 32-bit programs) the table checks still run and
# the Windows programs report as skipped, with the reason said once here.
set -u
build=$1
loader=$(sed -n 's/^KARVEL_WINE_LOADER:FILEPATH=//p' "$build/CMakeCache.txt")
prefix=$(sed -n 's/^KARVEL_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
export WINEPREFIX=$prefix WINELOADER=$loader WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

if "$loader" --version >/dev/null 2>&1; then
  if [ ! -f "$prefix/system.reg" ]; then
    echo "== Wine prefix $prefix (first time only)"
    "$loader" wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null' EXIT
  wineserver -p
  # Wine's own services start with the first program; start them here, away from CTest's pipes.
  "$loader" cmd /c exit </dev/null >/dev/null 2>&1
elif [ ! -x "$loader" ]; then
  echo "== $loader is not installed (wine32:i386 for a 32-bit build, which cannot be installed where" \
       "the i386 architecture or its index is missing): $build's Windows programs are reported as" \
       "skipped; its DLL tables are still checked"
else
  echo "== $loader cannot run on this machine (no 32-bit programs on this kernel):" \
       "$build's Windows programs are reported as skipped; its DLL tables are still checked"
fi
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
