#!/bin/sh
# layers_test.sh CHECK COMPILER ROOT CORE_INCLUDE_FLAGS... PROBE_DIR ABSOLUTE_PROBE
# Runs the layer check on probe files: those that keep to their layer's
# folders must pass (core/ alone; tools/ with core/ and y4m/), every one that
# reaches another layer must be refused.
check=$1 compiler=$2 root=$3
shift 3
flags=""
while [ $# -gt 2 ]; do flags="$flags $1"; shift; done
probes=$1 absolute=$2
failures=0

layer=core allowed=core
run() {  # run EXPECTATION FILE [MESSAGE], as a file of $layer
  output=$(bash "$check" "$compiler" "$root" $layer "$allowed" $flags -- "$2" 2>&1)
  status=$?
  if [ "$1" = pass ] && [ $status -ne 0 ]; then
    echo "FAIL: $2 was refused:"; echo "$output"; failures=$((failures + 1))
  elif [ "$1" = refuse ] && [ $status -eq 0 ]; then
    echo "FAIL: $2 was accepted"; failures=$((failures + 1))
  elif [ -n "${3:-}" ] && ! echo "$output" | grep -q "$3"; then
    echo "FAIL: $2 was refused without saying '$3':"; echo "$output"; failures=$((failures + 1))
  else
    echo "ok: $1 $2"
  fi
}

run pass "$probes/stays_in_core.cpp"
run refuse "$probes/plugin_by_include_path.cpp"
run refuse "$probes/fixture_by_relative_path.cpp"
run refuse "$probes/interface_by_relative_path.cpp" "includes interface/avisynth_interface.h"
run refuse "$absolute" "includes interface/avisynth_interface.h"
layer=tools allowed="tools core y4m"
run pass "$probes/tools_uses_core.cpp"
run refuse "$probes/tools_by_relative_path_to_plugin.cpp" "includes plugin/plane_driver.h"
exit $failures
