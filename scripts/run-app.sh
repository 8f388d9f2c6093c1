#!/usr/bin/env bash
# Builds the project and starts the tray app (installs missing Debian packages when run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target glowticker-app glowticker glowticker-cli glowticker-hook
exec build/bin/glowticker-app "$@"
