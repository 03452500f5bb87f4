#!/usr/bin/env bash
# `make demo`: the guided tour of the three drivers on ntsim. Paced on a
# terminal (PDCTL_DEMO_PACE_MS=0 turns pacing off), at full speed when piped.
set -euo pipefail
cd "$(dirname "$0")/../.."
exec build/host/bin/pdctl demo "$@"
