#!/usr/bin/env bash
# Installs what the build needs, builds velmoraine and runs every test stage
# in tests/stages/ in order. Exits non-zero when any stage fails.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
need_packages "${BASE_PACKAGES[@]}" || exit 1

passed=0
failed=0
failed_names=()
for stage in tests/stages/*.sh; do
  name=$(basename "$stage" .sh)
  echo "=== stage $name"
  start=$(date +%s)
  if bash "$stage"; then
    passed=$((passed + 1))
    echo "=== stage $name passed in $(( $(date +%s) - start )) s"
  else
    failed=$((failed + 1))
    failed_names+=("$name")
    echo "=== stage $name FAILED in $(( $(date +%s) - start )) s"
  fi
done
[ $failed -gt 0 ] && echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
