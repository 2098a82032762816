#!/usr/bin/env bash
# Orvane killed at a sample of the file-system calls of a re-install, a move to the other
# storage, an install, a data import, a settings write and a removal, then started again on
# what was left: every package is wholly old or wholly new, its data exactly the old or the
# new set, no temporary file in the local data. scripts/killsweep (run by hand) tries every
# kill point; this samples a few of each call so that the test run stays short.
set -euo pipefail
top=${ORVANE_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
exec "$top/scripts/killsweep" --stride 5 --max 5
