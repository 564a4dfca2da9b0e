#!/bin/bash
# Installs what is needed, builds the x64 Windows build and runs one collection pass
# of korvaProc.dll under Wine through the agent's host program. The report goes to
# stdout as one line, the log to stderr. Extra arguments go to korvaAgentHost
# (see --help), e.g. --passes 3 --log pass.log.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --x64-only >&2
# The x64 DLLs and the host alone: no test tools needed (preset win64-pass).
build=build/win64-pass
cmake --preset win64-pass -DKORVA_WERROR=ON >build-win64-configure.log 2>&1 ||
    { cat build-win64-configure.log >&2; exit 1; }
rm -f build-win64-configure.log
cmake --build "$build" --target korvaAgentHost >&2

prefix=$build/wineprefix
trap 'tests/wine/wine-prefix.sh stop "$prefix"' EXIT
tests/wine/wine-prefix.sh start "$prefix" >&2
tests/wine/wine-run.sh "$prefix" "$build/bin/korvaAgentHost.exe" --timeout-ms 15000 "$@"
