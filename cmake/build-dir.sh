# Sourced by the scripts that build what they run: sets `build` to the build
# directory (SCANLIB_BUILD_DIR, default build/ in the repository `repo`) and
# configures it on first use. A configured build directory keeps its own
# settings; ninja re-runs cmake when the project's files change. cmake's
# output goes to standard error.
build=${SCANLIB_BUILD_DIR:-$repo/build}
build=$(mkdir -p "$build" && cd "$build" && pwd)
if [ ! -f "$build/build.ninja" ]; then
  first=()
  [ -f "$build/CMakeCache.txt" ] || first=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  cmake -S "$repo" -B "$build" ${first[@]+"${first[@]}"} >&2
fi
