#!/usr/bin/env bash
# Builds the C++ core tests, warnings as errors, and runs them:
#
#   bash tests/core_tests.sh BUILD_DIR           CC and CXX (CMake's choice when unset)
#   bash tests/core_tests.sh BUILD_DIR libc++    Clang against libc++ (CC and CXX, else clang)
#
# GoogleTest's libraries from Debian are built against libstdc++, so the libc++
# build first compiles its own from Debian's sources (/usr/src/googletest).
set -euo pipefail
dir=$(realpath -m "$1")
cd "$(dirname "$0")/.."
args=()
if [ "${2:-}" = libc++ ]; then
  args=(-DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DCMAKE_CXX_FLAGS=-stdlib=libc++
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++)
  cmake -S /usr/src/googletest -B "$dir/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$dir/gtest" "${args[@]}" > /dev/null
  cmake --build "$dir/googletest"
  cmake --install "$dir/googletest" > /dev/null
  args+=(-DCMAKE_PREFIX_PATH="$dir/gtest")
fi
cmake -S . -B "$dir/core" -G Ninja -DVORNIC_BUILD_MODULE=OFF -DVORNIC_BUILD_TESTS=ON \
  -DVORNIC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" > /dev/null
grep -m1 -o "CMAKE_CXX_COMPILER:[A-Z]*=.*" "$dir/core/CMakeCache.txt" || true
cmake --build "$dir/core"
ctest --test-dir "$dir/core" --output-on-failure
