#!/usr/bin/env bash
# Installs what the tests need and runs every test: the Python suite against
# the installed module, then the C++ core's GoogleTest suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

# Listing orders follow a hash keyed from the interpreter's secret, so they
# change with the seed: a random one catches tests that depend on an order,
# and setting the printed value replays a run.
export PYTHONHASHSEED="${PYTHONHASHSEED:-$((RANDOM * 32768 + RANDOM))}"
echo "== PYTHONHASHSEED=$PYTHONHASHSEED"

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing libgtest-dev"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libgtest-dev
fi
# The Redis example's tests start a server of their own.
if ! command -v redis-server > /dev/null; then
  echo "== installing redis-server"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends redis-server
fi

echo "== building and installing vornic with its test dependencies"
python -m pip install --quiet --disable-pip-version-check ".[test]"

echo "== Python tests"
python -m pytest tests -q

echo "== C++ core tests"
cmake -S . -B build/core-tests -G Ninja -DVORNIC_BUILD_MODULE=OFF -DVORNIC_BUILD_TESTS=ON \
  -DVORNIC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure

echo "== fuzzing against the model"
mkdir -p build/fuzz
python tests/fuzz/fuzz_vornic.py -max_total_time=100 -timeout=30 -artifact_prefix=build/fuzz/

echo "== sanitizers"
bash tests/sanitize.sh

echo "== wheel and sdist, tested in a fresh virtual environment"
bash tests/wheel_check.sh
