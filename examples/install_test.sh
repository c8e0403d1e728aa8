#!/bin/sh
# Installs the build into a temporary prefix and checks that everything a
# user needs is there and works from there: the programs answer --version,
# this folder's project builds against the installed library with
# find_package(kiv) and with pkg-config, the installed Python module loads
# the installed library without help, and the installed kivd serves the
# examples and the installed kiv, inside a private network namespace
# (loopback only). With --package it instead makes the Debian packages of
# the build with cpack, unpacks them with dpkg-deb -x into a scratch root
# and runs that root's kivd and kiv against each other.
#
#   install_test.sh BUILD_DIR EXAMPLES_DIR [CMAKE]
#   install_test.sh --package BUILD_DIR CPACK
set -eu
if [ "$1" = --package ]; then
  mode=package build=$2 tool=$3
else
  mode=install build=$1 examples=$2 tool=${3:-cmake}
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KIV_DATA_DIR="$work/data" KIV_REGISTRY="$work/registry.reg"

fail() {
  echo "install_test: $*" >&2
  exit 1
}
step() {  # step LOG COMMAND...: runs quietly, shows the log on failure
  log=$1
  shift
  "$@" > "$work/$log" 2>&1 || { cat "$work/$log" >&2; fail "failed: $*"; }
}

# Runs a command in a network namespace of its own with loopback up.
private() {
  unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

# with_kivd KIVD COMMAND...: runs COMMAND in a private network beside a
# kivd that has said it is ready; fails when either fails.
with_kivd() {
  kivd=$1
  shift
  # shellcheck disable=SC2016  # expanded by the inner shell
  private sh -c '
    kivd=$1 work=$2
    shift 2
    "$kivd" > "$work/kivd.out" 2>&1 &
    pid=$!
    tries=0
    until grep -qs "^ready" "$work/kivd.out"; do
      tries=$((tries + 1))
      [ "$tries" -le 100 ] || { kill "$pid"; exit 1; }
      sleep 0.1
    done
    status=0
    timeout 30 "$@" > "$work/with_kivd.out" 2>&1 || status=$?
    kill -TERM "$pid"
    wait "$pid" || true
    exit "$status"
  ' sh "$kivd" "$work" "$@" || fail "beside $kivd: $* failed: $(cat "$work/with_kivd.out" 2>/dev/null)"
}

if [ "$mode" = package ]; then
  step cpack.log "$tool" --config "$build/CPackConfig.cmake" -B "$work/packages"
  for deb in libkiv0 kiv libkiv-dev; do
    set -- "$work"/packages/${deb}_*.deb
    [ -e "$1" ] || fail "no package $deb"
    dpkg-deb -x "$1" "$work/root"
  done
  prefix=$work/root/usr
else
  prefix=$work/prefix
  step install.log "$tool" --install "$build" --prefix "$prefix"
fi

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
version=$(pkg-config --modversion kiv) || fail "pkg-config does not find kiv.pc"
set -- "$prefix"/lib/python3*/dist-packages/kiv_automation.py
[ -e "$1" ] || fail "not installed: the Python module"
python=$(dirname "$1")
man=
[ -d "$build/man" ] && man="share/man/man1/kiv.1 share/man/man8/kivd.8"  # built when scdoc is there
for file in bin/kiv bin/kivd bin/ZibCrashReporter lib/libkiv.so lib/libkiv.so.0 \
  "lib/libkiv.so.$version" include/kiv/satellite.h include/kiv/version.h \
  lib/cmake/kiv/kivConfig.cmake share/bash-completion/completions/kiv \
  lib/systemd/system/kivd.service $man; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
done
grep -q "^ExecStart=${prefix#"$work/root"}/bin/kivd" "$prefix/lib/systemd/system/kivd.service" ||
  fail "the unit does not start the installed kivd"
for program in kiv kivd; do
  [ "$("$prefix/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
# The module finds the library two folders up, with no LD_LIBRARY_PATH.
loaded=$(env -u LD_LIBRARY_PATH PYTHONPATH="$python" python3 -c 'import kiv_automation as k
k.register_server(); k.KivIn.create().close(); print(k.find_server()[1])' 2> "$work/python.err") ||
  fail "the installed Python module: $(tail -1 "$work/python.err")"
case $loaded in "$prefix/lib/libkiv.so.$version") ;; *) fail "python module loaded $loaded" ;; esac
with_kivd "$prefix/bin/kivd" "$prefix/bin/kiv" --directory 127.0.0.1 list
[ "$mode" = package ] && { echo "install_test: package ok"; exit 0; }

# Installed headers must not reach for the source tree's private folders.
if grep -rqE '#include "(support|engine|discovery|satellite|com)/' "$prefix/include"; then
  fail "an installed header includes a private one"
fi
step configure.log "$tool" -S "$examples" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
step build.log "$tool" --build "$work/build"
# shellcheck disable=SC2046  # pkg-config's words are meant to split
step pkg-config.log c++ -std=c++20 -o "$work/echo_pc" "$examples/main.cc" $(pkg-config --cflags --libs kiv) \
  -Wl,-rpath,"$prefix/lib"
for example in "$work/build/echo_satellite" "$work/echo_pc"; do
  ldd "$example" | grep -q "$prefix/lib/libkiv.so" || fail "$example does not use the installed library"
  with_kivd "$prefix/bin/kivd" "$example" --directory 127.0.0.1 --name echo1 hello
  grep -qx "Echo answered: hello" "$work/with_kivd.out" || fail "$example: $(cat "$work/with_kivd.out")"
done
echo "install_test: ok"
