#!/usr/bin/env bash
# Builds what the board checks need (host programs, the arm64 preset, both
# architectures' packages) and runs them. Called by scripts/test.sh.
set -uo pipefail
cd "$(dirname "$0")/../.."
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null; then
    echo "== board: installing the arm64 cross-build dependencies"
    if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh --arm64; else sudo bash scripts/install-deps.sh --arm64; fi || exit 1
fi
mkdir -p build
{
    cmake --preset default >/dev/null &&
        cmake --build --preset default --target obd-gateway obd-vehicle-sim obdsim_can_preload fake_gpiod_preload &&
        cmake --preset arm64 >/dev/null && cmake --build --preset arm64 &&
        scripts/package.sh
} >build/board-build.log 2>&1 || { tail -30 build/board-build.log; echo "== board: build failed"; exit 1; }
exec tests/board/board_test.sh "$@"
