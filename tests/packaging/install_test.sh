#!/usr/bin/env bash
# cmake --install into a scratch prefix, then use only the installed tree: the
# layout, the library's SONAME and the programs' RUNPATH, zam32 on the virtual
# unit with the installed help, the pelmo command and its Python package, pelmogui3 binding the installed library, and
# programs built against the installed emucore.pc and CMake package. Also a
# DESTDIR staging install and a prefix that cannot be made.
set -euo pipefail
: "${PELMO_BUILD_DIR:?}" "${PELMO_SOURCE_DIR:?}" "${PELMO_CMAKE:?}" "${PELMO_CC:?}" "${PELMO_CONSUMER_DIR:?}"
: "${PELMO_PYTHON:?}"
PELMO_CONSUMER_FLAGS=${PELMO_CONSUMER_FLAGS:-}
PELMO_GUI=${PELMO_GUI:-1}
work=$(mktemp -d "${TMPDIR:-/tmp}/pelmo-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/checks.sh"

prefix=$work/prefix
"$PELMO_CMAKE" --install "$PELMO_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$work/install.log")"

# A prefix of its own: the Python package goes to the usual lib/pythonX.Y/site-packages.
python_dir=lib/python$("$PELMO_PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages
expected=(bin/zam32 bin/pelmosim lib/libemucore.so.1 lib/libemucore.so include/emucore.h
          lib/pkgconfig/emucore.pc lib/cmake/emucore/emucoreConfig.cmake lib/cmake/emucore/emucoreTargets.cmake
          share/pelmo/ZAM32.HLP lib/udev/rules.d/60-pelmo.rules lib/udev/rules.d/61-pelmo-uaccess.rules
          lib/cmake/emucore/emucoreConfigVersion.cmake share/pelmo/pelmo-udev-rules
          share/man/man1/zam32.1.gz share/man/man1/pelmosim.1.gz share/man/man1/pelmo.1.gz share/doc/pelmo/copyright
          bin/pelmo "$python_dir/pelmo/__init__.py" "$python_dir/pelmo/cli.py")
if [ "$PELMO_GUI" = 1 ]; then
    expected+=(bin/pelmogui3 share/pelmo/PelmoGui3.html share/pelmo/PelmoGui3-web.html share/applications/pelmogui3.desktop
               share/icons/hicolor/scalable/apps/pelmogui3.svg share/man/man1/pelmogui3.1.gz)
fi
programs=(zam32 pelmosim)
[ "$PELMO_GUI" = 1 ] && programs+=(pelmogui3)
for f in "${expected[@]}"; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
[ "$(readlink "$prefix/lib/libemucore.so")" = libemucore.so.1 ] || fail "libemucore.so does not link to libemucore.so.1"
readelf -d "$prefix/lib/libemucore.so.1" | grep -q 'SONAME.*\[libemucore\.so\.1\]' || fail "SONAME"
for program in "${programs[@]}"; do
    runpath=$(readelf -d "$prefix/bin/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    [ "$runpath" = '$ORIGIN/../lib' ] || fail "$program RUNPATH is '$runpath', want \$ORIGIN/../lib"
    ! readelf -d "$prefix/bin/$program" | grep -q '(RPATH)' || fail "$program has an RPATH besides its RUNPATH"
done
# Nothing installed may point back into the build or source tree.
if grep -rlF -e "$PELMO_BUILD_DIR" -e "$PELMO_SOURCE_DIR" "$prefix/lib/pkgconfig" "$prefix/lib/cmake" \
        "$prefix/share/applications" 2>/dev/null; then
    fail "installed files name the build or source tree"
fi

check_zam32 "$prefix" "$prefix/share/pelmo"
check_pelmo "$prefix" "$prefix/$python_dir"
if [ "$PELMO_GUI" = 1 ]; then check_gui "$prefix" "$prefix/lib"; fi
check_consumers "$prefix/lib" "$prefix"

# A staging install (DESTDIR) holds the tree under the final prefix and works
# from there as well.
DESTDIR=$work/stage "$PELMO_CMAKE" --install "$PELMO_BUILD_DIR" --prefix /opt/pelmo >"$work/stage.log" 2>&1 ||
    fail "DESTDIR install: $(cat "$work/stage.log")"
[ -x "$work/stage/opt/pelmo/bin/zam32" ] || fail "DESTDIR install has no opt/pelmo/bin/zam32"
check_zam32 "$work/stage/opt/pelmo" "$work/stage/opt/pelmo/share/pelmo"
check_pelmo "$work/stage/opt/pelmo" "$work/stage/opt/pelmo/$python_dir"

# A prefix that cannot be made: CMake's own error, a failing status, and no tree.
touch "$work/plainfile"
status=0
"$PELMO_CMAKE" --install "$PELMO_BUILD_DIR" --prefix "$work/plainfile/prefix" >"$work/bad.log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "an install under a plain file succeeded"
grep -q "CMake Error" "$work/bad.log" || fail "no CMake error for an impossible prefix: $(cat "$work/bad.log")"
[ -f "$work/plainfile" ] || fail "the plain file was replaced"
echo "installed tree checked: $prefix"
