# Shared by cmake/test-all.sh (CI's short runs) and fuzz/run-long.sh: how the
# fuzz build is made, where a target's corpus and seeds live, and the options
# each target runs with. Source it from the repository root.

fuzz_build_dir=build-fuzz

# Configures and builds the libFuzzer targets with `jobs` parallel jobs.
fuzz_build() {
  local jobs=$1
  CXX=clang++ cmake -S . -B "$fuzz_build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DSCANLIB_FUZZ=ON >/dev/null
  cmake --build "$fuzz_build_dir" -j "$jobs"
}

# Every built target, one path a line.
fuzz_targets() {
  local t
  for t in "$fuzz_build_dir"/fuzz/fuzz_*; do
    [ -x "$t" ] && [ -f "$t" ] && echo "$t"
  done
  return 0
}

# Makes the corpus of target `name` and adds the seeds that the tests of the
# normal build wrote (build/fuzz-seeds/<name>); prints the corpus path.
fuzz_corpus() {
  local name=$1 corpus=$fuzz_build_dir/corpus/$1
  mkdir -p "$corpus"
  if [ -d "build/fuzz-seeds/$name" ]; then
    cp -n build/fuzz-seeds/"$name"/* "$corpus"/ 2>/dev/null || true
  fi
  echo "$corpus"
}

# The libFuzzer options of target `name`: fuzz/<name>.options holds one
# option a line (# starts a comment), for example -max_len=16384.
fuzz_options() {
  local file line
  file=fuzz/$1.options
  [ -f "$file" ] || return 0
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%%#*}
    line=${line//[[:space:]]/}
    [ -n "$line" ] && echo "$line"
  done <"$file"
  return 0
}
