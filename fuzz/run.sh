#!/usr/bin/env bash
# Builds every fuzz/*_fuzz.cpp as a libFuzzer program (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for ${FUZZ_SECONDS:-30} seconds, starting from
# fuzz/corpus/<name>/ when that folder exists (<name> is the file name without "_fuzz.cpp").
# Fails when a target does not build, or finds a crash, a leak or a slow input.
#
# A new target just drops in. It is linked against the core sources listed for it below, or,
# when it has no entry, against every core source (src/ without src/gui and the program
# entry src/app/Proxy.cpp), compiled once per run into a static library.
#
# Options (environment): FUZZ_SECONDS, FUZZ_OUT (build and work folder, default fuzz-out/),
# FUZZ_CXX (default clang++), FUZZ_ONLY (run only the target of that name).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-30}
out=${FUZZ_OUT:-$root/fuzz-out}
cxx=${FUZZ_CXX:-clang++}
# Longest a single input may take before it counts as a hang.
per_input_timeout=10

# Core sources per target (paths relative to the repository root).
declare -A target_sources=(
  [dns_response]="src/dns/DNSUtils.cpp src/dns/DNSRecords.cpp src/util/Strings.cpp"
)

common=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all -I"$root/src"
        -DCORVAN_VERSION=\"fuzz\" -pthread)

mkdir -p "$out"
core_lib=""
build_core_lib() {
  [ -n "$core_lib" ] && return 0
  local objdir="$out/core-obj"
  rm -rf "$objdir"
  mkdir -p "$objdir"
  local srcs
  srcs=$(find src -name '*.cpp' -not -path 'src/gui/*' -not -path 'src/app/Proxy.cpp' | sort)
  echo "fuzz: compiling $(echo "$srcs" | wc -l) core sources"
  echo "$srcs" | xargs -P "$(nproc)" -I{} sh -c \
    'o="$1/$(echo "$2" | tr / _).o"; src=$2; cc=$3; shift 3; exec "$cc" "$@" -c "$src" -o "$o"' _ "$objdir" {} "$cxx" \
    "${common[@]}" -fsanitize=fuzzer-no-link,address,undefined
  core_lib="$out/libcorvan_core_fuzz.a"
  rm -f "$core_lib"
  ar rcs "$core_lib" "$objdir"/*.o
}

failed=()
shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets"
  exit 0
fi
for target in "${targets[@]}"; do
  name=$(basename "$target" _fuzz.cpp)
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$name" != "$FUZZ_ONLY" ]; then
    continue
  fi
  bin="$out/${name}_fuzz"
  echo "== fuzz: $name =="
  if [ -n "${target_sources[$name]:-}" ]; then
    # shellcheck disable=SC2206
    srcs=(${target_sources[$name]})
    build=("$cxx" "${common[@]}" -fsanitize=fuzzer,address,undefined "$target" "${srcs[@]}" -o "$bin")
  else
    build_core_lib
    build=("$cxx" "${common[@]}" -fsanitize=fuzzer,address,undefined "$target" "$core_lib" -o "$bin")
  fi
  if ! "${build[@]}"; then
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
