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

# suite VENV PYTHON [CONSTRAINTS]: the package and its test extras (within
# the pip constraints file CONSTRAINTS, if given) in a fresh virtual
# environment of PYTHON, and the whole suite against it.
suite() {
    rm -rf "$1"
    "$2" -m venv "$1"
    "$1/bin/pip" install -q ${3:+-c "$3"} '.[test]'
    run_pytest "$1/bin/python" -m pytest -q -p no:cacheprovider tests
}

# sanitized VENV PYTHON: the suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the run.  The runtimes
# preloaded are those of the g++ that built the module.  The build has the
# test-only module _runtime_probe too, whose tests LICENSE_HELPER_PROBE=ON
# then requires to run.
sanitized() {
    rm -rf "$1"
    "$2" -m venv "$1"
    LICENSE_HELPER_SANITIZE=ON LICENSE_HELPER_PROBE=ON "$1/bin/pip" install -q '.[test]'
    local logs
    logs=$(mktemp -d)
    LICENSE_HELPER_PROBE=ON PYTHONMALLOC=malloc \
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

# tsan VENV PYTHON [CONSTRAINTS]: PYTHON is built with ThreadSanitizer (gcc's,
# whose libtsan it links); the package built with it as well, into a fresh
# virtual environment, and the thread tests run against it.  Any report
# fails the run, except those inside the interpreter that
# .ci/tsan-suppressions.txt names.  The module must use the interpreter's
# runtime: two copies of libtsan in one process would each miss half the
# synchronisation.
tsan() {
    rm -rf "$1"
    "$2" -m venv "$1"
    # pip itself runs on the sanitized interpreter: its reports are not ours.
    # Unstripped, so that reports name the module's functions and lines.
    TSAN_OPTIONS=report_bugs=0 SKBUILD_INSTALL_STRIP=false LICENSE_HELPER_TSAN=ON "$1/bin/pip" install -q ${3:+-c "$3"} '.[test]'
    local module runtime logs
    module=$("$1/bin/python" -c 'import veltrocam.tilso.sdk.license_helper as m; print(m.__file__)')
    runtime=$(ldd "$2" | awk '/libtsan/ { print $3 }')
    if [ -z "$runtime" ] || [ "$(ldd "$module" | awk '/libtsan/ { print $3 }')" != "$runtime" ]; then
        echo "ci: the module and $2 do not share one ThreadSanitizer runtime" >&2
        ldd "$module" >&2
        return 1
    fi
    logs=$(mktemp -d)
    TSAN_OPTIONS="halt_on_error=1:report_signal_unsafe=0:second_deadlock_stack=1:suppressions=$PWD/.ci/tsan-suppressions.txt:log_path=$logs/tsan" \
        run_pytest "$1/bin/python" -m pytest -q -p no:cacheprovider tests/test_concurrency.py
    if compgen -G "$logs/*" >/dev/null; then
        echo "ci: ThreadSanitizer reports:" >&2
        cat "$logs"/* >&2
        return 1
    fi
    echo "ci: ThreadSanitizer run clean"
}
