#!/bin/sh
# Runs the Python package's tests with the given interpreter; exit 77 (skipped) when it
# lacks NumPy or pytest.
# Usage: run-pytest.sh PYTHON TESTS_DIR [pytest arguments]
python=$1
tests=$2
shift 2
if ! "$python" -c 'import numpy, pytest' 2>/dev/null; then
    echo "skipped: $python has no numpy or pytest (apt-get install python3-numpy python3-pytest)"
    exit 77
fi
exec "$python" -m pytest -p no:cacheprovider -q -rs "$tests" "$@"
