#!/bin/sh
# Deliberate faults, each built and tested alone in a copy of the tree (slow:
# one incremental build per fault; not part of CI). See scripts/mutants.py.
exec python3 "$(dirname "$0")/mutants.py" "$@"
