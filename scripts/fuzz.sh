#!/bin/sh
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz and runs
# each of them from the committed seeds with the dialect's dictionary.
#
#   sh scripts/fuzz.sh                 # a short, fixed number of runs (CI)
#   sh scripts/fuzz.sh 3600            # about an hour per target, one after another
#   sh scripts/fuzz.sh 3600 fuzz_csv   # one target only
#
# New inputs go to build-fuzz/corpus/<target> (kept between runs, so a long
# run carries on where the last one stopped); an input that breaks the
# call's contract or trips a sanitizer is written to build-fuzz/artifacts/
# and the script fails. An input that takes longer than 10 minutes counts as
# a hang: a padded copy takes seconds, tens of them on a loaded machine.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-}"
[ $# -gt 0 ] && shift
targets="${*:-fuzz_statement fuzz_csv}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVIX_SANITIZE=address -DTAVIX_FUZZ=ON -DTAVIX_BUILD_TESTS=OFF -DTAVIX_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target $targets

root="$PWD"
for target in $targets; do
  case "$target" in
    fuzz_statement) seeds=fuzz/corpus/statement; short_runs=4000 ;;
    fuzz_csv) seeds=fuzz/corpus/csv; short_runs=150 ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
  esac
  if [ -n "$seconds" ]; then limit="-max_total_time=$seconds"; else limit="-runs=$short_runs -seed=1"; fi
  mkdir -p "build-fuzz/corpus/$target" build-fuzz/artifacts
  echo "== $target ($limit)"
  # shellcheck disable=SC2086
  (cd build-fuzz && "./fuzz/$target" -dict="$root/fuzz/tavix.dict" -timeout=600 \
    -print_final_stats=1 -artifact_prefix="$root/build-fuzz/artifacts/" $limit \
    "corpus/$target" "$root/$seeds")
done
