#!/bin/sh
# Lists the functions libtavix.so defines for other modules and compares them
# with the three of the C interface (sanitizer runtimes may add their own
# hooks, which are ignored).
set -eu
actual="$(nm -D --defined-only "$1" | awk '$2 == "T" || $2 == "W" { print $3 }' \
  | grep -v -E '^(__asan|__ubsan|__tsan|__sanitizer|__lsan|_init$|_fini$)' | sort)"
expected="$(printf 'tavix_free\ntavix_query_csv\ntavix_query_json\n')"
if [ "$actual" != "$expected" ]; then
  echo "exported functions differ:"
  echo "$actual"
  exit 1
fi
echo "1 passed, 0 failed"
