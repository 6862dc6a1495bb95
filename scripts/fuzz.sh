#!/bin/bash
# Builds the libFuzzer target (clang, ASan+UBSan) in build-fuzz/ and fuzzes the configuration
# reader and the configuration-file set-up for SECONDS (default 60).
#   scripts/fuzz.sh [SECONDS]
#   BUILD_DIR=...  build directory (default: build-fuzz in the repository)
#   CORPUS=...     working corpus, kept between runs (default: fuzz-corpus in the repository);
#                  seeded from fuzz/corpus/ and examples/*.conf
# Exits non-zero on any crash, sanitizer report, leak or timeout; the input that caused it is
# left in the corpus directory as crash-*, leak-* or timeout-*.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
build=${BUILD_DIR:-$root/build-fuzz}
corpus=${CORPUS:-$root/fuzz-corpus}

command -v clang++ >/dev/null || { echo "fuzz.sh needs clang++ (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRAFFICGEN_FUZZ=ON -DTRAFFICGEN_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target config_fuzz

mkdir -p "$corpus"
cp -n fuzz/corpus/* "$corpus"/ 2>/dev/null || true
for example in examples/*.conf; do
    [[ -e $example ]] && cp -n "$example" "$corpus/example-$(basename "$example")"
done

# A small quarantine keeps the freed memory hot: about twice the executions per second.
export ASAN_OPTIONS="detect_leaks=1:exitcode=86:quarantine_size_mb=16:malloc_context_size=10"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
log=$(mktemp /tmp/trafficgen-fuzz.XXXXXX)
trap 'rm -f "$log"' EXIT
status=0
"$build/fuzz/config_fuzz" "$corpus" -dict=fuzz/config.dict -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$corpus/" 2>"$log" || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
if ((status != 0)); then
    tail -n 60 "$log"
    echo "fuzz: FAILED (exit $status)"
    exit "$status"
fi
echo "fuzz: ${seconds}s, no crash, no sanitizer report"
