# The steps of CI that run on the machine itself and inside the unstable
# root alike (sourced by .ci/run, and by the commands it runs in the root).
# Each runs from the top of a tree.

# pytest's exit status 5 (no tests collected) is a failure like any other
# non-zero status, so `set -e` is all that is needed; this only says so.
run_pytest() {
    local status=0
    "$@" || status=$?
    if [ "$status" -eq 5 ]; then
        echo "ci: pytest collected no tests" >&2
    fi
    return "$status"
}

# suite VENV PYTHON: the package and its test extras in a fresh virtual
# environment of PYTHON, and the whole suite against it.
suite() {
    rm -rf "$1"
    "$2" -m venv "$1"
    "$1/bin/pip" install -q '.[test]'
    run_pytest "$1/bin/python" -m pytest -q -p no:cacheprovider tests
}

# sanitized VENV PYTHON: the suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the run.  The runtimes
# preloaded are those of the g++ that built the module.
sanitized() {
    rm -rf "$1"
    "$2" -m venv "$1"
    LICENSE_HELPER_SANITIZE=ON "$1/bin/pip" install -q '.[test]'
    local logs
    logs=$(mktemp -d)
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        run_pytest "$1/bin/python" -m pytest -q -p no:cacheprovider tests
    if compgen -G "$logs/*" >/dev/null; then
        echo "ci: sanitizer reports:" >&2
        cat "$logs"/* >&2
        return 1
    fi
    echo "ci: sanitizer run clean"
}
