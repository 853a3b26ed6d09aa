#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer program (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) through CMake (-DCORVAN_FUZZ=ON: the project's libraries are
# compiled once, instrumented and with the project's warnings) and runs each for
# ${FUZZ_SECONDS:-30} seconds, starting from fuzz/corpus/<name>/ when that folder exists
# (<name> is the file name without "_fuzz.cpp").
# Fails when a target does not build, or finds a crash, a leak or a slow input.
#
# A new target just drops in: fuzz/CMakeLists.txt picks up every *_fuzz.cpp.
#
# Options (environment): FUZZ_SECONDS, FUZZ_OUT (build and work folder, default fuzz-out/),
# FUZZ_CXX (default clang++), FUZZ_ONLY (build and run only the target of that name),
# FUZZ_JOBS (parallel compile jobs, default nproc).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-30}
out=${FUZZ_OUT:-$root/fuzz-out}
cxx=${FUZZ_CXX:-clang++}
jobs=${FUZZ_JOBS:-$(nproc)}
# Longest a single input may take before it counts as a hang.
per_input_timeout=10

shopt -s nullglob
names=()
for target in fuzz/*_fuzz.cpp; do
  name=$(basename "$target" _fuzz.cpp)
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$name" != "$FUZZ_ONLY" ]; then
    continue
  fi
  names+=("$name")
done
if [ ${#names[@]} -eq 0 ]; then
  echo "fuzz: no targets"
  exit 0
fi

# Debug keeps assertions on; -O1 keeps the runs fast and the stacks readable.
echo "== fuzz: configuring $out =="
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCORVAN_FUZZ=ON \
  -DCORVAN_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null

echo "== fuzz: building ${names[*]} =="
build_ok=1
# -k 0: one target that fails to build does not keep the others from being built and run.
cmake --build "$out" --parallel "$jobs" --target "${names[@]/%/_fuzz}" -- -k 0 || build_ok=0

failed=()
for name in "${names[@]}"; do
  bin="$out/${name}_fuzz"
  echo "== fuzz: $name =="
  # After a failed build, a target counts as built only when building it alone succeeds
  # (nothing left to do for it; the errors were shown above).
  if [ ! -x "$bin" ] ||
     { [ $build_ok -eq 0 ] && ! cmake --build "$out" --target "${name}_fuzz" >/dev/null 2>&1; }; then
    failed+=("$name (build)")
    continue
  fi
  work="$out/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  # New inputs go to the work folder only; the committed seeds stay untouched.
  if ! timeout $((seconds + 120)) "$bin" -max_total_time="$seconds" -timeout="$per_input_timeout" \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/$name-" \
       "$work" "${seeds[@]}"; then
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs that failed are in $out/)"
  exit 1
fi
echo "fuzz: all targets passed"
