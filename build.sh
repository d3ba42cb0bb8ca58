#!/bin/sh
# The two entry points of the README:
#   ./build.sh run    build (installing what is missing) and run the self-check
#   ./build.sh test   build (installing what is missing) and run every test
set -eu
cd "$(dirname "$0")"
scripts/setup
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build_dir"
case "${1:-run}" in
  run)  shift || true; exec "$build_dir/selfcheck/vorn-package-selfcheck" "$@" ;;
  test) exec ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" ;;
  *)    echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac
