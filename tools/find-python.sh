#!/bin/sh
# Prints the path of a working Python 3.13 interpreter, or fails with a message.
# A pyenv shim on the PATH may exist but refuse to run, so every candidate is run once.
works() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1; }
if [ -n "${PYTHON:-}" ]; then
    if works "$PYTHON"; then echo "$PYTHON"; exit 0; fi
    echo "PYTHON=$PYTHON is not a working Python 3.13 interpreter" >&2; exit 1
fi
for c in "$(command -v python3.13 2>/dev/null)" /usr/bin/python3.13 /usr/local/bin/python3.13 \
         "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
    [ -n "$c" ] && [ -x "$c" ] && works "$c" && { echo "$c"; exit 0; }
done
echo "No working Python 3.13 found (tried python3.13 on the PATH, /usr/bin/python3.13 and pyenv's versions/3.13*)." >&2
echo "Install Python 3.13 or run make with PYTHON=/path/to/python3.13." >&2
exit 1
