#!/usr/bin/env bash
# Builds the Debian package, checks its contents and control fields, unpacks it into a scratch
# root and runs its programs and the reader library's C example from there.
#   package_test.sh SOURCE_DIR PACKAGE_BUILD_DIR WITH_WINDOWS(0|1)
set -euo pipefail
src=$1
build=$2
windows=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

deb=$("$src/scripts/build-package.sh" "$build" -DPORVANE_GUI=$([ "$windows" = 1 ] && echo ON || echo OFF) | tail -n 1)
[ -f "$deb" ] || fail "no package built"
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(basename "$deb")" = "porvane_${version}_${arch}.deb" ] || fail "package named $(basename "$deb")"

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

# Contents: every program with its manual page and completion, the libraries, the header, the
# pkg-config file and the CMake package.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/contents"
libdir=$(grep -o '^/usr/lib/[^/]*/libquor_b\.so\.1$' "$scratch/contents" | xargs dirname) ||
    fail "no libquor_b.so.1 in $(cat "$scratch/contents")"
programs=(porvane-cli brevant-cli sievrad vport quor-sim)
[ "$windows" = 1 ] && programs+=(porvane brevant)
expected=("$libdir/libquor_b.so" "$libdir/pkgconfig/quor_b.pc" "$libdir/cmake/quor_b/quor_bConfig.cmake"
    "$libdir/porvane/libsievra.so" /usr/include/quor_b.h)
[ "$windows" = 1 ] && expected+=(/usr/share/porvane/porvane-help.html)
for p in "${programs[@]}"; do
    expected+=("/usr/bin/$p" "/usr/share/man/man1/$p.1" "/usr/share/bash-completion/completions/$p")
done
for f in "${expected[@]}"; do
    grep -qx -- "$f" "$scratch/contents" || fail "$f missing from the package"
done
! grep -q '^/usr/local' "$scratch/contents" || fail "the package writes under /usr/local"
# Modes: nothing that others may write (links aside), nothing set-user-id or set-group-id, all
# root's.
odd=$(dpkg-deb -c "$deb" | awk '$1 !~ /^l/ && ($1 ~ /^.....w/ || $1 ~ /^........w/ || $1 ~ /[sS]/ || $2 != "root/root")')
[ -z "$odd" ] || fail "modes or owners that others could use: $odd"

# Control fields: the name, version and architecture, the libraries found by dpkg-shlibdeps and
# what the programs need at run time besides.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = porvane ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
needed=(libc6 libstdc++6)
[ "$windows" = 1 ] && needed+=(libqt6widgets6 libqt6gui6 libqt6core6 fonts-wqy-microhei
    qt6-translations-l10n qt6-qpa-plugins)
for d in "${needed[@]}"; do
    [[ ", $depends," == *", $d"[\ ,]* ]] || fail "Depends lacks $d: $depends"
done
[[ $depends != *libasan* && $depends != *libubsan* ]] || fail "sanitizer runtime in Depends: $depends"

# Unpacked into a scratch root: the programs run from there.
root=$scratch/root
dpkg-deb -x "$deb" "$root"
# Nothing installed names the folders it was built from (the embedded driver image included).
leaked=$(grep -rlF -e "$src" -e "$(cd "$build" && pwd)" "$root" || true)
[ -z "$leaked" ] || fail "build paths in: $leaked"
for p in "${programs[@]}"; do
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$p" --version) || fail "$p --version failed"
    [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
done

# The pkg-config file names the package's prefix; the C example builds against the unpacked
# header and library and reads the simulated reader's card through them.
grep -qx 'prefix=/usr' "$root$libdir/pkgconfig/quor_b.pc" || fail "quor_b.pc: $(head -1 "$root$libdir/pkgconfig/quor_b.pc")"
flags=$(PKG_CONFIG_PATH="$root$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs quor_b)
[[ $flags == *"-I$root/usr/include"* ]] || fail "pkg-config flags: $flags"
# shellcheck disable=SC2086
cc -o "$scratch/list_serial" "$src/reader/examples/list_serial.c" $flags || fail "the C example does not build"
link=$scratch/reader
exec 3< <(exec "$root/usr/bin/quor-sim" "$link")
sim_pid=$!
read -r -t 30 -u 3 ready || fail "quor-sim did not start"
[[ $ready == "$link -> "* ]] || fail "quor-sim: $ready"
out=$(COM1=$link LD_LIBRARY_PATH="$root$libdir" "$scratch/list_serial") || fail "the C example failed: $out"
[ "$out" = "card type 0004, serial 3A7C9105" ] || fail "the C example printed '$out'"

# The installed driver's unit file starts the installed host, never one in a scratch folder.
"$root/usr/bin/porvane-cli" driver install --root "$scratch/sysroot" >/dev/null ||
    fail "driver install under a scratch root failed"
grep -qx 'ExecStart=/usr/bin/sievrad --runtime-dir /run/sievra --group dialout' \
    "$scratch/sysroot/etc/systemd/system/sievra.service" ||
    fail "unit: $(grep ExecStart "$scratch/sysroot/etc/systemd/system/sievra.service")"
echo "package $(basename "$deb") passed"
