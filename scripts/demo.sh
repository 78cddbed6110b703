#!/usr/bin/env bash
# Builds everything and runs the installer on a fresh demo image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
echo "The demo image arrives with the installer; the build is ready in build/."
