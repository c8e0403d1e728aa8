#!/bin/sh
# Installs the built library into a temporary prefix, builds this folder's
# project against it with find_package(kiv), and runs the example inside a
# private network namespace (loopback only): against the directory program
# when the build has one, otherwise only far enough to see it load the
# installed library and report that no directory answers.
#
#   install_test.sh BUILD_DIR EXAMPLES_DIR [CMAKE]
set -eu
build=$1
examples=$2
cmake=${3:-cmake}

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

step install.log "$cmake" --install "$build" --prefix "$work/prefix"
for file in include/kiv/satellite.h lib/cmake/kiv/kivConfig.cmake lib/libkiv.so; do
  [ -e "$work/prefix/$file" ] || fail "not installed: $file"
done
# Installed headers must not reach for the source tree's private folders.
if grep -rqE '#include "(support|engine|discovery|satellite|com)/' "$work/prefix/include"; then
  fail "an installed header includes a private one"
fi

step configure.log "$cmake" -S "$examples" -B "$work/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix"
step build.log "$cmake" --build "$work/build"
example=$work/build/echo_satellite
ldd "$example" | grep -q "$work/prefix/lib/libkiv.so" || fail "example does not use the installed library"

# Runs a command in a network namespace of its own with loopback up.
private() {
  unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

kivd=$build/bin/kivd
if [ -x "$kivd" ]; then
  private sh -c '
    kivd=$1 example=$2 work=$3
    "$kivd" > "$work/kivd.out" 2>&1 &
    pid=$!
    tries=0
    until grep -q "^ready" "$work/kivd.out"; do
      tries=$((tries + 1))
      [ "$tries" -le 100 ] || { kill "$pid"; exit 1; }
      sleep 0.1
    done
    status=0
    timeout 30 "$example" --directory 127.0.0.1 --name echo1 hello > "$work/echo.out" || status=$?
    kill -TERM "$pid"
    wait "$pid" || true
    [ "$status" -eq 0 ] && grep -qx "Echo answered: hello" "$work/echo.out"
  ' sh "$kivd" "$example" "$work" || fail "echo through kivd failed: $(cat "$work/echo.out" 2>/dev/null)"
else
  status=0
  private timeout 30 "$example" --directory 127.0.0.1 > "$work/echo.out" 2>&1 || status=$?
  [ "$status" -eq 3 ] || fail "without a directory the example should exit 3, not $status: $(cat "$work/echo.out")"
fi
echo "install_test: ok"
