#!/usr/bin/env bash
# Builds the fuzz targets and runs one of them for as long as you like.
#   tools/fuzz.sh TARGET [SECONDS]     TARGET: preset_image, command_line or editing
# New inputs are kept in build/fuzz/fuzz/corpus/TARGET; a failing input is written to
# build/fuzz/fuzz/ as crash-*, and can be replayed with: build/fuzz/fuzz/fuzz_TARGET crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: tools/fuzz.sh TARGET [SECONDS]}
seconds=${2:-3600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
cd build/fuzz/fuzz
exec "./fuzz_${target}" -max_total_time="${seconds}" -max_len=2048 -close_fd_mask=3 \
  -print_final_stats=1 "corpus/${target}" "seeds/${target}"
