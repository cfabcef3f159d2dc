#!/usr/bin/env bash
# Builds the Debian packages with CPack into a scratch folder, checks their
# control data (names, dependencies from the binaries, the GUI depending on
# pelmo) and lintian's verdict, then unpacks them with dpkg-deb -x into a scratch
# root (never onto this machine) and runs the zam32, pelmo, GUI and C-program checks
# from that root.
set -euo pipefail
: "${PELMO_BUILD_DIR:?}" "${PELMO_SOURCE_DIR:?}" "${PELMO_CMAKE:?}" "${PELMO_CPACK:?}" "${PELMO_CC:?}"
: "${PELMO_CONSUMER_DIR:?}" "${PELMO_PYTHON:?}"
PELMO_CONSUMER_FLAGS=${PELMO_CONSUMER_FLAGS:-}
PELMO_GUI=${PELMO_GUI:-1}
work=$(mktemp -d "${TMPDIR:-/tmp}/pelmo-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/checks.sh"

(cd "$work" && "$PELMO_CPACK" --config "$PELMO_BUILD_DIR/CPackConfig.cmake" -G DEB -B "$work/packages") \
    >"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$PELMO_BUILD_DIR/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
packages=(pelmo libemucore-dev)
[ "$PELMO_GUI" = 1 ] && packages+=(pelmo-gui)
for p in "${packages[@]}"; do
    deb=$work/packages/${p}_${version}_${arch}.deb
    [ -f "$deb" ] || fail "no package $(basename "$deb"): $(ls "$work/packages")"
    [ "$(dpkg-deb -f "$deb" Package)" = "$p" ] || fail "$deb is not package $p"
done
deb() { echo "$work/packages/${1}_${version}_${arch}.deb"; }

# Dependencies come from the binaries: the C and C++ runtimes for pelmo, Qt for
# the GUI, and the exact pelmo for the GUI and the development package.
depends=$(dpkg-deb -f "$(deb pelmo)" Depends)
grep -q 'libc6' <<<"$depends" || fail "pelmo depends on '$depends', no libc6"
grep -q 'libstdc++6' <<<"$depends" || fail "pelmo depends on '$depends', no libstdc++6"
grep -q "pelmo (= $version)" <<<"$(dpkg-deb -f "$(deb libemucore-dev)" Depends)" ||
    fail "libemucore-dev does not depend on pelmo $version"
if [ "$PELMO_GUI" = 1 ]; then
    gui_depends=$(dpkg-deb -f "$(deb pelmo-gui)" Depends)
    grep -q "pelmo (= $version)" <<<"$gui_depends" || fail "pelmo-gui depends on '$gui_depends', not pelmo"
    grep -q 'libqt6widgets6' <<<"$gui_depends" || fail "pelmo-gui depends on '$gui_depends', no Qt widgets"
fi
grep -q "^libemucore 1 pelmo" <<<"$(dpkg-deb -I "$(deb pelmo)" shlibs)" || fail "pelmo has no shlibs entry for libemucore.so.1"
# What goes where: the library in pelmo, its link and header in the development package.
# (Listings are read whole: grep -q on a pipe would end dpkg-deb with SIGPIPE.)
pelmo_files=$(dpkg-deb -c "$(deb pelmo)")
dev_files=$(dpkg-deb -c "$(deb libemucore-dev)")
grep -q ' ./usr/lib/libemucore.so.1 ' <<<"$pelmo_files" || fail "pelmo lacks libemucore.so.1"
for f in usr/bin/pelmo usr/lib/python3/dist-packages/pelmo/__init__.py usr/share/man/man1/pelmo.1.gz; do
    grep -q " \./$f\$" <<<"$pelmo_files" || fail "pelmo lacks $f"
done
! grep -q ' ./usr/lib/libemucore.so ' <<<"$pelmo_files" || fail "pelmo holds the development link"
grep -q ' ./usr/lib/libemucore.so -> libemucore.so.1' <<<"$dev_files" ||
    fail "libemucore-dev lacks the development link"
# The rest of the split: each file in its own package and in no other (two
# packages holding one path could not be installed together).
declare -A holds=(
    [pelmo]="usr/bin/zam32 usr/bin/pelmosim usr/bin/pelmo usr/share/pelmo/ZAM32.HLP usr/share/pelmo/pelmo-udev-rules
             usr/lib/udev/rules.d/60-pelmo.rules usr/lib/udev/rules.d/61-pelmo-uaccess.rules
             usr/share/man/man1/zam32.1.gz usr/share/man/man1/pelmosim.1.gz usr/share/man/man1/pelmo.1.gz"
    [libemucore-dev]="usr/include/emucore.h usr/lib/pkgconfig/emucore.pc usr/lib/cmake/emucore/emucoreConfig.cmake
                      usr/lib/cmake/emucore/emucoreConfigVersion.cmake usr/lib/cmake/emucore/emucoreTargets.cmake"
    [pelmo-gui]="usr/bin/pelmogui3 usr/share/pelmo/PelmoGui3.html usr/share/applications/pelmogui3.desktop
                 usr/share/icons/hicolor/scalable/apps/pelmogui3.svg usr/share/man/man1/pelmogui3.1.gz")
declare -A listing
for p in "${packages[@]}"; do listing[$p]=$(dpkg-deb -c "$(deb "$p")" | awk '{print $6}'); done
for p in "${packages[@]}"; do
    for f in ${holds[$p]}; do
        grep -qxF "./$f" <<<"${listing[$p]}" || fail "package $p lacks $f"
        for q in "${packages[@]}"; do
            [ "$q" = "$p" ] && continue
            ! grep -qxF "./$f" <<<"${listing[$q]}" || fail "$f is in $q as well as in $p"
        done
    done
done

if command -v lintian >/dev/null; then
    # Errors fail the test; the warnings that remain are printed for the log. Known:
    # maintscript-calls-ldconfig (CPack writes postinst/postrm calling ldconfig for a
    # library in /usr/lib, beside our ldconfig trigger), package-name-doesnt-match-sonames
    # (libemucore.so.1 ships in pelmo, not in a libemucore1 of its own) and
    # pkg-config-unavailable-for-cross-compilation (lib/, not the multiarch folder, so
    # that every installed tree keeps the same relative paths).
    status=0
    lintian --fail-on error --no-tag-display-limit "$work"/packages/*.deb >"$work/lintian.log" 2>&1 || status=$?
    cat "$work/lintian.log"
    [ "$status" -eq 0 ] || fail "lintian reported errors"
else
    fail "lintian is not installed (scripts/deps.sh installs it)"
fi

root=$work/root
for p in "${packages[@]}"; do
    dpkg-deb -x "$(deb "$p")" "$root"
done
check_zam32 "$root/usr" "$root/usr/share/pelmo"
check_pelmo "$root/usr" "$root/usr/lib/python3/dist-packages"
if [ "$PELMO_GUI" = 1 ]; then check_gui "$root/usr" "$root/usr/lib"; fi
check_consumers "$root/usr/lib" "$root/usr"
echo "packages checked: ${packages[*]}"
