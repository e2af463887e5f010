#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs the benchmark suite.
#   scripts/bench.sh            full run (about 10 minutes)
#   scripts/bench.sh --quick    one run each, shorter measurements
# Other options go to bench/run_bench.py (--only cost,seek ..., --runs N,
# --threads N). Clips are generated once into build-bench/bench-media; the
# table is printed and bench-results/ gets results.csv, results.json and
# pacing.png.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# The peer player and the plotter of the comparison.
extra=()
for p in mpv gnuplot-nox; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || extra+=("$p")
done
if [ ${#extra[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
  echo "Installing: ${extra[*]}"
  if ! { $sudo apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
           "${extra[@]}" >/dev/null; }; then
    echo "warning: could not install ${extra[*]}; the suite reports what it cannot compare" >&2
  fi
fi

dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQVX_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target qvx_bench

python3 bench/run_bench.py --host "$dir/bench/qvx_bench" --media "$dir/bench-media" \
  --out bench-results "$@"
