#!/usr/bin/env bash
# Installs what the tests need and runs every test, part by part, each naming
# its interpreter and compiler and timed in a summary at the end:
#   - the C++ core tests, built by GCC against libstdc++ and by Clang against libc++;
#   - the wheel check (tests/wheel_check.sh: sdist, wheel from the sdist, Python
#     suite in a fresh virtual environment) on every supported CPython, built by GCC;
#   - the Python suite against a Clang/libc++ build, on the main interpreter;
#   - the Dask example's tests (tests/cluster), which start worker processes on
#     loopback, on the main interpreter;
#   - fuzzing against the model, on the main interpreter only;
#   - beside them, in a lane of their own: a root of Debian's testing suite
#     made afresh (tests/debian_root.sh), and in it the C++ core tests built by
#     its GCC and by its Clang against libc++, on each newer interpreter it
#     carries the wheel check and the Dask example's tests, and the sanitizers
#     (tests/sanitize.sh) with its GCC on the first of them.
set -euo pipefail
cd "$(dirname "$0")/.."

# Listing orders follow a hash keyed from the interpreter's secret, so they
# change with the seed: a random one catches tests that depend on an order,
# and setting the printed value replays a run.
export PYTHONHASHSEED="${PYTHONHASHSEED:-$((RANDOM * 32768 + RANDOM))}"
echo "== PYTHONHASHSEED=$PYTHONHASHSEED"

# The supported interpreters this machine has; the first is the main one.
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
# sources the libc++ build compiles), the Clang toolchain with libc++, the
# Redis server that the mirror example's tests start on a port of their own,
# and debootstrap, which makes the root of Debian's testing suite.
packages=(libgtest-dev googletest clang libc++-dev libc++abi-dev redis-server debootstrap)
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

times=() current="" lane_pid=""
# The part under way when a lane stops, marked as failed.
failed_part() {
  [ -n "$current" ] && times+=("$(printf '%5d s  %s: FAILED' $((SECONDS - part_start)) "$current")")
  current=""
}
on_exit() {
  local status=$?
  if [ -n "$lane_pid" ]; then  # the root's lane still runs: stop it, whatever it runs
    kill -- "-$lane_pid" 2> /dev/null || true
    wait "$lane_pid" 2> /dev/null || true
  fi
  [ $status -eq 0 ] || failed_part
  if [ ${#times[@]} -gt 0 ]; then
    printf '\n== time of each part\n'
    printf '%s\n' "${times[@]}"
    printf '%5d s  in all\n' $SECONDS
  fi
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# part TITLE COMMAND...: runs one part of the test command and times it.
part() {
  current=$1 part_start=$SECONDS
  shift
  printf '\n==== %s\n' "$current"
  "$@"
  times+=("$(printf '%5d s  %s' $((SECONDS - part_start)) "$current")")
  current=""
}

# The leak test's rounds: 100,000 once, on the main interpreter's wheel check;
# 20,000 on every other build, which still shows a leak of 13 bytes a round.
few_rounds=VORNIC_LEAK_ITERATIONS=20000

# The default toolchain; the Clang parts name theirs.
export CC=gcc CXX=g++
gcc_name="GCC $(g++ -dumpfullversion), libstdc++"
clang_name="Clang $(clang++ -dumpversion), libc++"

# Debian's testing suite carries the newer interpreters and compilers. Its
# root is made afresh in every run (VORNIC_DEBIAN_ROOT names one made earlier
# by `bash tests/debian_root.sh make DIR`, to use as it is), and its parts run
# in a lane of their own beside the host's: making the root waits mostly on the
# network and the disk, and each part after it mostly keeps one core busy, as
# the host's parts do, so the two lanes fill this machine's two cores. The
# lane's output goes to build/debian-testing.log and is shown, with its times,
# after the host's parts. In the root the source tree is read-only at /src and
# everything built goes to /build.
root_versions=(3.14 3.15)
lane_log=build/debian-testing.log lane_times=build/debian-testing.times
if [ -n "${VORNIC_DEBIAN_ROOT:-}" ]; then
  root=$(realpath "$VORNIC_DEBIAN_ROOT")
  [ -f "$root/.vornic-root-ready" ] ||
    { echo "run.sh: no finished root at $root (VORNIC_DEBIAN_ROOT): make one with \`bash tests/debian_root.sh make $root\`" >&2; exit 1; }
else
  bash tests/debian_root.sh check  # one line naming what is missing, at once
  root=$PWD/build/debian-testing
fi
in_root() {
  bash tests/debian_root.sh run "$root" "$@"
}

root_lane() {
  times=() current=""
  trap '[ $? -eq 0 ] || failed_part; printf "%s\n" "${times[@]}" > "$lane_times"' EXIT
  if [ -z "${VORNIC_DEBIAN_ROOT:-}" ]; then
    part "making a root of Debian's testing suite" bash tests/debian_root.sh make "$root"
  fi
  echo "== in $root: $(in_root sh -c '. /etc/os-release && echo "$PRETTY_NAME"')"
  local gcc clang libcxx toolchain name version
  gcc="GCC $(in_root g++-16 -dumpfullversion), libstdc++ (Debian testing)"
  clang="Clang $(in_root clang++-21 -dumpversion), libc++ (Debian testing)"
  libcxx=(CC=clang-21 CXX=clang++-21 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ VORNIC_CXX_RUNTIME=libc++)
  part "C++ core tests, $gcc" in_root env CC=gcc-16 CXX=g++-16 bash /src/tests/core_tests.sh /build/core-gcc
  part "C++ core tests, $clang" in_root env CC=clang-21 CXX=clang++-21 \
    bash /src/tests/core_tests.sh /build/core-libcxx libc++
  # 3.14's module is built by GCC, 3.15's by Clang against libc++: each
  # compiler then builds the module as well as the core.
  for version in "${root_versions[@]}"; do
    if [ "$version" = "${root_versions[0]}" ]; then
      toolchain=(CC=gcc-16 CXX=g++-16) name=$gcc
    else
      toolchain=("${libcxx[@]}") name=$clang
    fi
    part "wheel check, CPython $version, $name" in_root env "${toolchain[@]}" $few_rounds \
      SKBUILD_CMAKE_ARGS=-DVORNIC_WERROR=ON bash /src/tests/wheel_check.sh "python$version" "/build/venv-$version"
    part "Dask example on a loopback cluster, CPython $version, $name" in_root sh -c \
      "cd /tmp && /build/venv-$version/bin/python -m pytest /src/tests/cluster -q -p no:cacheprovider"
  done
  # Here rather than on the host, whose lane is the longer. The tests write
  # beside themselves, so they run from a copy of the tree (this root and
  # everything else built lie under build/, left out).
  part "sanitizers, CPython ${root_versions[0]}, $gcc" in_root env CC=gcc-16 CXX=g++-16 \
    VORNIC_PYTHON="python${root_versions[0]}" VORNIC_SANITIZE_DIR=/build/sanitize sh -c \
    'rm -rf /build/tree && mkdir -p /build/tree && tar -C /src --exclude=./build -cf - . | tar -C /build/tree -xf - &&
     bash /build/tree/tests/sanitize.sh'
}
mkdir -p build
rm -f "$lane_times"
set -m  # a process group of its own, to stop as one
root_lane > "$lane_log" 2>&1 &
lane_pid=$!
set +m

part "C++ core tests, $gcc_name" bash tests/core_tests.sh build/core-tests
part "C++ core tests, $clang_name" env CC=clang CXX=clang++ bash tests/core_tests.sh build/libcxx libc++

# Each interpreter builds the module once, warnings as errors, for its wheel
# check; the main one's environment stays for the fuzzing below.
for version in "${versions[@]}"; do
  rounds=()
  [ "$version" = "${versions[0]}" ] || rounds=("$few_rounds")
  part "wheel check, CPython $version, $gcc_name" env "${rounds[@]}" SKBUILD_CMAKE_ARGS=-DVORNIC_WERROR=ON \
    bash tests/wheel_check.sh "${python[$version]}" "$PWD/build/venv-$version"
done

part "Python suite on a wheel built by $clang_name, CPython ${versions[0]}" \
  env $few_rounds CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ VORNIC_CXX_RUNTIME=libc++ \
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


printf '\n==== the parts in the root of Debian'"'"'s testing suite, run beside the ones above\n'
lane_status=0
wait "$lane_pid" || lane_status=$?
lane_pid=""
cat "$lane_log"
times+=("== beside them, in the root:")
[ -f "$lane_times" ] && mapfile -t -O ${#times[@]} times < "$lane_times"
if [ $lane_status -ne 0 ]; then
  echo "run.sh: a part in the root of Debian's testing suite failed (its output above, also in $lane_log)" >&2
  exit 1
fi
