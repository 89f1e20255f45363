#!/usr/bin/env bash
# Builds the engine and runs it on its bundled default configuration in a
# demo folder, then shows what it created.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF -DTARNWICK_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"

demo=$(mktemp -d /tmp/tarnwick-demo-XXXXXX)
mkdir -p "$demo/opt/tarnwick"
cp build/programs/TarnwickSvr "$demo/opt/tarnwick/"
export TARNWICK_SYSROOT="$demo"
"$demo/opt/tarnwick/TarnwickSvr" /s &
pid=$!
sleep 2
echo "engine running as pid $pid in $demo/opt/tarnwick:"
find "$demo" -printf '%M %p\n' | sort -k2
kill "$pid" 2>/dev/null || true
