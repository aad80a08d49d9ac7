#!/usr/bin/env bash
# Installs what the tests need and runs every test, part by part, each naming
# its interpreter and compiler and timed in a summary at the end:
#   - the C++ core tests, built by GCC against libstdc++ and by Clang against libc++;
#   - the wheel check (tests/wheel_check.sh: sdist, wheel, Python suite in a
#     fresh virtual environment) on every supported CPython, built by GCC;
#   - the Python suite against a Clang/libc++ build, on the main interpreter;
#   - the Dask example's tests (tests/cluster), which start worker processes on
#     loopback, once, on the main interpreter;
#   - fuzzing against the model and the sanitizers, on the main interpreter only.
set -euo pipefail
cd "$(dirname "$0")/.."

# Listing orders follow a hash keyed from the interpreter's secret, so they
# change with the seed: a random one catches tests that depend on an order,
# and setting the printed value replays a run.
export PYTHONHASHSEED="${PYTHONHASHSEED:-$((RANDOM * 32768 + RANDOM))}"
echo "== PYTHONHASHSEED=$PYTHONHASHSEED"

# The supported interpreters; the first is the main one.
versions=(3.11 3.12 3.13)

# Whether $2 runs and is CPython $1 with the interpreter lock (a free-threaded
# build is another ABI).
is_python() {
  [ -x "$2" ] && "$2" -c "
import platform, sys, sysconfig
ok = platform.python_implementation() == 'CPython' and '%d.%d' % sys.version_info[:2] == '$1'
sys.exit(not ok or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" 2> /dev/null
}

# Prints the path of CPython $1 (e.g. 3.12): pyenv's choice, else the newest
# in its versions directory, else one on PATH (not a pyenv shim that fails).
find_python() {
  local version=$1 dir candidate candidates=()
  dir=$(pyenv prefix "$version" 2> /dev/null) && candidates+=("$dir/bin/python$version")
  while IFS= read -r dir; do
    candidates+=("$dir/bin/python$version")
  done < <(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".* | sort -rV)
  candidates+=("$(command -v "python$version" || true)")
  for candidate in "${candidates[@]}"; do
    is_python "$version" "$candidate" && { echo "$candidate"; return; }
  done
  return 1
}

declare -A python
lacking=()
for version in "${versions[@]}"; do
  python[$version]=$(find_python "$version") || lacking+=("$version")
done
if [ ${#lacking[@]} -gt 0 ]; then
  for version in "${lacking[@]}"; do
    echo "run.sh: no CPython $version found (looked through pyenv, ${PYENV_ROOT:-~/.pyenv}/versions and python$version on PATH);" \
      "install it, e.g. with \`pyenv install $version\`, or your system's python$version package" >&2
  done
  exit 1
fi
main=${python[${versions[0]}]}

# Debian packages the tests need: GoogleTest (headers, libraries and the
# sources the libc++ build compiles), the Clang toolchain with libc++, and the
# Redis server that the mirror example's tests start on a port of their own.
packages=(libgtest-dev googletest clang libc++-dev libc++abi-dev redis-server)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

# The default toolchain; the Clang parts name theirs.
export CC=gcc CXX=g++
gcc_name="GCC $(g++ -dumpfullversion), libstdc++"
clang_name="Clang $(clang++ -dumpversion), libc++"
libcxx=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++
  -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++)

times=() current=""
print_times() {
  local status=$?
  [ -n "$current" ] && [ $status -ne 0 ] && times+=("$(printf '%5d s  %s: FAILED' $((SECONDS - part_start)) "$current")")
  if [ ${#times[@]} -gt 0 ]; then
    printf '\n== time of each part\n'
    printf '%s\n' "${times[@]}"
  fi
}
trap print_times EXIT

# part TITLE COMMAND...: runs one part of the test command and times it.
part() {
  current=$1 part_start=$SECONDS
  shift
  printf '\n==== %s\n' "$current"
  "$@"
  times+=("$(printf '%5d s  %s' $((SECONDS - part_start)) "$current")")
  current=""
}

core_tests() {  # build directory, then CMake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVORNIC_BUILD_MODULE=OFF -DVORNIC_BUILD_TESTS=ON \
    -DVORNIC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure
}

# GoogleTest's libraries from Debian are built against libstdc++, so the
# libc++ build compiles its own from Debian's sources.
libcxx_core_tests() {
  cmake -S /usr/src/googletest -B build/libcxx/googletest -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$PWD/build/libcxx/gtest" "${libcxx[@]}" > /dev/null
  cmake --build build/libcxx/googletest
  cmake --install build/libcxx/googletest > /dev/null
  core_tests build/libcxx/core -DCMAKE_PREFIX_PATH="$PWD/build/libcxx/gtest" "${libcxx[@]}"
}

part "C++ core tests, $gcc_name" core_tests build/core-tests
part "C++ core tests, $clang_name" libcxx_core_tests

# Each interpreter builds the module once, warnings as errors, for its wheel
# check; the main one's environment stays for the fuzzing below.
for version in "${versions[@]}"; do
  part "wheel check, CPython $version, $gcc_name" env SKBUILD_CMAKE_ARGS=-DVORNIC_WERROR=ON \
    bash tests/wheel_check.sh "${python[$version]}" "$PWD/build/venv-$version"
done

part "Python suite on a wheel built by $clang_name, CPython ${versions[0]}" \
  env CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ VORNIC_CXX_RUNTIME=libc++ \
  SKBUILD_CMAKE_ARGS=-DVORNIC_WERROR=ON bash tests/wheel_check.sh "$main"

# Left out of the suite above (pyproject's norecursedirs): they take seconds
# of worker start-up each and test the example, not the build.
part "Dask example on a loopback cluster, CPython ${versions[0]}, $gcc_name" \
  "build/venv-${versions[0]}/bin/python" -m pytest tests/cluster -q -p no:cacheprovider

mkdir -p build/fuzz
part "fuzzing against the model, CPython ${versions[0]}, $gcc_name" \
  "build/venv-${versions[0]}/bin/python" tests/fuzz/fuzz_vornic.py -max_total_time=100 -timeout=30 \
  -artifact_prefix=build/fuzz/
part "fuzzing snapshots, CPython ${versions[0]}, $gcc_name" \
  "build/venv-${versions[0]}/bin/python" tests/fuzz/fuzz_vornic.py --snapshots -max_total_time=40 -timeout=30 \
  -artifact_prefix=build/fuzz/

part "sanitizers, CPython ${versions[0]}, $gcc_name" env VORNIC_PYTHON="$main" bash tests/sanitize.sh
