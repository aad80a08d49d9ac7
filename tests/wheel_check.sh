#!/usr/bin/env bash
# Checks the package as a user gets it: builds the sdist and, from the unpacked
# sdist, the wheel (so a file missing from the sdist breaks the build), checks
# what both hold, installs the wheel with the test extra into a fresh virtual
# environment and runs the test suite from a copy of tests/ (and examples/,
# which the tests run) outside the source tree, so that the installed module is
# the one tested.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
start=$SECONDS

echo "== fresh virtual environment"
python -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install --quiet --disable-pip-version-check build

echo "== sdist, then the wheel from the unpacked sdist"
if ! "$py" -m build --outdir "$work/dist" "$root" > "$work/build.log" 2>&1; then
  cat "$work/build.log"
  exit 1
fi
sdist=("$work"/dist/vornic-*.tar.gz)
wheel=("$work"/dist/vornic-*.whl)

# Prints every listed pattern that no member of the archive matches.
missing() {
  "$py" - "$@" <<'EOF'
import fnmatch, sys, tarfile, zipfile
path, patterns = sys.argv[1], sys.argv[2:]
if path.endswith(".whl"):
    names = zipfile.ZipFile(path).namelist()
else:  # sdist members sit under a vornic-VERSION/ directory
    names = [n.split("/", 1)[-1] for n in tarfile.open(path).getnames()]
print(" ".join(p for p in patterns if not fnmatch.filter(names, p)))
EOF
}
lacking=$(missing "${sdist[0]}" CMakeLists.txt pyproject.toml README.md 'core/*.hpp' \
  bindings/module.cpp 'bindings/*.hpp' vornic-stubs/__init__.pyi)
[ -z "$lacking" ] || { echo "sdist lacks: $lacking"; exit 1; }
lacking=$(missing "${wheel[0]}" 'vornic.*.so' vornic-stubs/__init__.pyi)
[ -z "$lacking" ] || { echo "wheel lacks: $lacking"; exit 1; }
echo "$(basename "${sdist[0]}") and $(basename "${wheel[0]}") hold what they should"

echo "== installing the wheel with its test extra"
"$py" -m pip install --quiet --disable-pip-version-check "${wheel[0]}[test]"

echo "== test suite against the installed wheel"
mkdir "$work/run"
cp -r "$root/tests" "$root/examples" "$root/pyproject.toml" "$work/run/"
cd "$work/run"
"$py" -c 'import sys, vornic; assert vornic.__file__.startswith(sys.prefix), vornic.__file__'
"$py" -m pytest tests -q -p no:cacheprovider
echo "== wheel check passed in $((SECONDS - start)) s"
