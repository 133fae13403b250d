#!/usr/bin/env bash
# Builds the Debian packages obd-gateway and obd-gateway-tools for amd64 and
# arm64 (or the architectures given: package.sh amd64) into build/packages.
# Needs scripts/install-deps.sh (amd64) and scripts/install-deps.sh --arm64.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/packages
mkdir -p "$out"
for arch in ${*:-amd64 arm64}; do
    args=()
    case "$arch" in
        amd64) ;;
        arm64) args=(--toolchain "$PWD/cmake/aarch64-linux-gnu.cmake") ;;
        *) echo "package.sh: unknown architecture $arch (amd64, arm64)" >&2; exit 2 ;;
    esac
    dir=build/package-$arch
    echo "== $arch: configure and build"
    # Warnings stay warnings here: a newer compiler must not stop a release.
    cmake -S . -B "$dir" -G Ninja "${args[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DOBDGW_TESTS=OFF -DOBDGW_WERROR=OFF >/dev/null
    cmake --build "$dir" --target obd-gateway obd-gateway-cli obd-gateway-cli-man obd-vehicle-sim obd-isotp-ecu \
        obdsim_can_preload
    echo "== $arch: packages"
    # Each architecture packs in its own folder: two may be packed at once.
    rm -rf "$dir/cpack"
    (cd "$dir" && cpack -G DEB -B "$PWD/cpack" >/dev/null)
    mv "$dir"/cpack/*.deb "$out/" && rm -rf "$dir/cpack"
done
for deb in "$out"/*.deb; do
    printf '%s  %s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
done
