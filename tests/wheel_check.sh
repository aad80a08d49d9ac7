#!/usr/bin/env bash
# Checks the package as a user gets it: builds the sdist and, from the unpacked
# sdist, the wheel (so a file missing from the sdist breaks the build), checks
# what both hold, installs the wheel with the test extra into a fresh virtual
# environment and runs the test suite from a copy of tests/ (and examples/,
# which the tests run) outside the source tree, so that the installed module is
# the one tested.
#
#   bash tests/wheel_check.sh [PYTHON [VENV]]
#
# PYTHON builds and tests the wheel (default python3). VENV keeps the virtual
# environment there, made afresh, instead of a temporary one. The compiler is
# CMake's choice unless CXX (and CXXFLAGS, LDFLAGS) say otherwise; with
# VORNIC_CXX_RUNTIME set (libstdc++ or libc++), the module must link that C++
# runtime and no other.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python=${1:-python3}
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
start=$SECONDS

venv=${2:-$work/venv}
echo "== fresh virtual environment in $venv"
rm -rf "$venv"
"$python" -m venv "$venv"
py="$venv/bin/python"
echo "== $("$py" -c 'import platform, sys; print(platform.python_implementation(), platform.python_version(), sys.executable)')"
"$py" -m pip install --quiet --disable-pip-version-check build twine

echo "== sdist, then the wheel from the unpacked sdist"
if ! "$py" -m build --outdir "$work/dist" "$root" > "$work/build.log" 2>&1; then
  cat "$work/build.log"
  exit 1
fi
grep -m1 -o "The CXX compiler identification is .*" "$work/build.log" || true
sdist=("$work"/dist/vornic-*.tar.gz)
wheel=("$work"/dist/vornic-*.whl)

# Prints every listed pattern that no member of the archive matches (with
# --held first: every one that some member matches).
missing() {
  "$py" - "$@" <<'EOF'
import fnmatch, sys, tarfile, zipfile
held = sys.argv[1] == "--held"
path, patterns = sys.argv[1 + held], sys.argv[2 + held:]
if path.endswith(".whl"):
    names = zipfile.ZipFile(path).namelist()
else:  # sdist members sit under a vornic-VERSION/ directory
    names = [n.split("/", 1)[-1] for n in tarfile.open(path).getnames()]
print(" ".join(p for p in patterns if bool(fnmatch.filter(names, p)) == held))
EOF
}
lacking=$(missing "${sdist[0]}" CMakeLists.txt pyproject.toml README.md 'core/*.hpp' \
  bindings/module.cpp 'bindings/*.hpp' vornic-stubs/__init__.pyi 'tests/core/*')
[ -z "$lacking" ] || { echo "sdist lacks: $lacking"; exit 1; }
extra=$(missing --held "${sdist[0]}" 'bench/results/*')
[ -z "$extra" ] || { echo "sdist holds what it should leave out: $extra"; exit 1; }
lacking=$(missing "${wheel[0]}" 'vornic.*.so' vornic-stubs/__init__.pyi)
[ -z "$lacking" ] || { echo "wheel lacks: $lacking"; exit 1; }
echo "$(basename "${sdist[0]}") and $(basename "${wheel[0]}") hold what they should"
"$py" -m twine check --strict "${sdist[0]}" "${wheel[0]}"

echo "== installing the wheel with its test extra"
"$py" -m pip install --quiet --disable-pip-version-check "${wheel[0]}[test]"

mkdir "$work/run"
cp -r "$root/tests" "$root/examples" "$root/pyproject.toml" "$work/run/"
cd "$work/run"
module=$("$py" -c 'import sys, vornic; assert vornic.__file__.startswith(sys.prefix), vornic.__file__; print(vornic.__file__)')
runtimes=$(ldd "$module" | grep -oE 'lib(std)?c\+\+\.so' | sed 's/\.so$//' | sort -u | paste -sd ' ')
echo "module links C++ runtime: ${runtimes:-none}"
if [ -n "${VORNIC_CXX_RUNTIME:-}" ] && [ "$runtimes" != "$VORNIC_CXX_RUNTIME" ]; then
  echo "wheel_check.sh: the module should link $VORNIC_CXX_RUNTIME alone" >&2
  exit 1
fi

echo "== test suite against the installed wheel"
"$py" -m pytest tests -q -p no:cacheprovider
echo "== wheel check passed in $((SECONDS - start)) s"
