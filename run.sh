#!/usr/bin/env bash
# Installs what is missing, builds, and then starts the desktop program (no argument), runs every test
# ("test") or makes the packages into dist/ ("package": the Debian packages and the Windows zip). Safe to
# run again: packages already present and an up-to-date build cost seconds.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev googletest nlohmann-json3-dev
    libcli11-dev ffmpeg x264 libavformat-dev libavcodec-dev libswscale-dev libavutil-dev clang
    libclang-rt-14-dev jq util-linux bsdutils fonts-dejavu-core g++-mingw-w64-x86-64 wine64)
# mkvmerge and mkvinfo make and check the Matroska test files.
packages+=(mkvtoolnix)
# The packages: man pages from the programs' help, icons from the SVG, the Debian tools that make and
# check them, and what the package tests check the freedesktop files and the completion with.
packages+=(help2man librsvg2-bin dpkg-dev file lintian desktop-file-utils appstream shared-mime-info man-db
    bsdextrautils zsh bash-completion)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

case "${1:-start}" in
start)
    if [ -x build/ui/pellmar ]; then
        exec build/ui/pellmar
    fi
    exec build/cli/pellmar-cli --help
    ;;
package)
    dist="$PWD/dist"
    rm -rf "$dist"
    (cd build && cpack -D CPACK_OUTPUT_FILE_PREFIX="$dist")
    # pellmar-cli for Windows from the cross build (the one the Windows tests use).
    cmake -DSOURCE_DIR="$PWD" -DBINARY_DIR="$PWD/build/windows" -DBUILD_TYPE=RelWithDebInfo \
        -P cmake/BuildWindows.cmake >/dev/null
    (cd build/windows && cpack -D CPACK_OUTPUT_FILE_PREFIX="$dist")
    ls -l "$dist"
    ;;
test)
    export QT_QPA_PLATFORM=offscreen
    # With the tests of label "windows": the cross build for Windows (build/windows, each step under a
    # time limit) and its tests and the command-line tests under wine.
    ctest --test-dir build --output-on-failure -j"$jobs"
    # The core once more under AddressSanitizer and UndefinedBehaviorSanitizer, with the fuzzers
    # (clang), each fuzzer run for a bounded time.
    CC=clang CXX=clang++ cmake -S . -B build-sanitize -DPELLMAR_SANITIZE=ON -DPELLMAR_FUZZ=ON \
        -DPELLMAR_DESKTOP=OFF -DPELLMAR_CLI=OFF -DPELLMAR_BENCH=OFF -DPELLMAR_WINDOWS_TESTS=OFF >/dev/null
    cmake --build build-sanitize -j"$jobs"
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
    ;;
*)
    echo "usage: $0 [start|test|package]" >&2
    exit 2
    ;;
esac
