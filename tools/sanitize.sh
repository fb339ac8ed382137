#!/usr/bin/env bash
# Builds api_core with AddressSanitizer + UndefinedBehaviorSanitizer in build/sanitize,
# stages src/python with that module under build/sanitize/site (src/python stays untouched)
# and runs the test suite against it. Extra arguments go to pytest.
#
# Usage: tools/sanitize.sh [pytest args...]   (PY=path/to/python, default .venv/bin/python)
set -euo pipefail
cd "$(dirname "$0")/.."

PY="${PY:-.venv/bin/python}"
BUILD=build/sanitize
SITE="$BUILD/site"

if "$PY" -c 'import cmake' 2>/dev/null; then cm=("$PY" -m cmake); else cm=(cmake); fi
export PATH="$(cd "$(dirname "$PY")" && pwd):$PATH"   # the venv's ninja

"${cm[@]}" -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(realpath -s "$PY")" -DHALVEX_SANITIZE=ON -DHALVEX_COPY_INPLACE=OFF >/dev/null
"${cm[@]}" --build "$BUILD"

module="$(find "$BUILD" -maxdepth 1 -name 'api_core*.so' -print -quit)"
[ -n "$module" ] || { echo "sanitize: no api_core module in $BUILD" >&2; exit 1; }

# A fresh copy each run, so a module built in place by `make dev` can never shadow ours.
rm -rf "$SITE"
mkdir -p "$SITE"
cp -a src/python/. "$SITE/"
find "$SITE" \( -name '__pycache__' -o -name 'api_core*.so' -o -name '*.so.tmp' \) -prune -exec rm -rf {} +
cp "$module" "$SITE/norvo_halvex/mediator/"

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
    [ -f "$lib" ] || { echo "sanitize: $lib not found (g++ without sanitizer runtimes?)" >&2; exit 1; }
done

echo "sanitize: running the tests against $SITE/norvo_halvex/mediator/$(basename "$module")"
# detect_leaks=0: the interpreter keeps its own objects alive at exit on purpose.
# PYTHONMALLOC=malloc: every Python allocation goes through malloc, where ASan sees it.
export LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$(pwd)/$SITE"
export PYTHONDONTWRITEBYTECODE=1
"$PY" - "$(pwd)/$SITE" <<'CHECK'
import sys
import norvo_halvex.mediator.api_core as m
if not m.__file__.startswith(sys.argv[1]):
    sys.exit(f"sanitize: imported {m.__file__}, not the sanitized module")
CHECK
exec "$PY" -m pytest -q -p no:cacheprovider "$@"
