#!/bin/sh
# Entry points (each installs missing packages through scripts/setup first):
#   ./build.sh run [ARGS]  build and run the self-check (ARGS go to GoogleTest)
#   ./build.sh test        build and run every test
#   ./build.sh asan        AddressSanitizer + UndefinedBehaviorSanitizer build, every test
#   ./build.sh tsan        ThreadSanitizer build, the concurrency tests
set -eu
cd "$(dirname "$0")"
scripts/setup
mode=${1:-run}
[ $# -gt 0 ] && shift

configure() {  # build directory, then extra CMake arguments
  dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
  cmake --build "$dir"
}

sanitized="-DVORN_PACKAGE_BUILD_BENCHMARKS=OFF -DVORN_PACKAGE_BUILD_TOOLS=OFF"
case "$mode" in
  run)
    configure "${BUILD_DIR:-build}"
    exec "${BUILD_DIR:-build}/selfcheck/vorn-package-selfcheck" "$@" ;;
  test)
    configure "${BUILD_DIR:-build}"
    exec ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" ;;
  asan)
    # shellcheck disable=SC2086
    configure build-asan -DVORN_PACKAGE_SANITIZE=address,undefined $sanitized
    # The consumer test builds an uninstrumented project against this tree.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      exec ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -E install_and_consume ;;
  tsan)
    # shellcheck disable=SC2086
    configure build-tsan -DVORN_PACKAGE_SANITIZE=thread $sanitized
    TSAN_OPTIONS=halt_on_error=1 exec ctest --test-dir build-tsan --output-on-failure -R 'Concurrency' ;;
  *)
    echo "usage: $0 run|test|asan|tsan" >&2
    exit 2 ;;
esac
