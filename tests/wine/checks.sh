# The Wine scripts' checks, sourced by each: `check DESCRIPTION COMMAND...`
# says ok or FAILED and counts; `checked` prints the count and fails when a
# check did.
passed=0 failed=0
check() {
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok      $what"; else failed=$((failed + 1)); echo "FAILED  $what"; fi
}
checked() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
