# Building programs for the tools' scripts, with the build's progress shown:
# sourced, not run.
#
#   build_programs WHO BUILD_DIR JOBS TARGET...
#       configures BUILD_DIR when needed and builds the TARGETs, saying first
#       what it builds; then every compile and link step shows as it starts
#       (a first build takes minutes, so a silent one looks like a hang).
#       Compiler messages show in full; the lines for targets already built
#       are left out. Fails when the build fails.
build_programs() {
  local who="$1" dir="$2" jobs="$3"
  shift 3
  echo "$who: building $* in $dir/"
  cmake -S . -B "$dir" >/dev/null
  cmake --build "$dir" -j"$jobs" --target "$@" |
    sed -u -E '/^\[ *[0-9]+%\] Built target |^Consolidate compiler generated |^Scanning dependencies /d'
}
