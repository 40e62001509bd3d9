#!/usr/bin/env bash
# check_corpus.sh - the public test files are exactly those sources.tsv lists,
# each unchanged since it was copied: a file added without its provenance, or
# lost, or altered on the way (line endings, a failed checkout), fails here
# rather than quietly weakening the tests that decode or replay it.
# Usage: tests/check_corpus.sh CORPUS-DIR
set -eu
cd "$1"
listed=$(tail -n +2 sources.tsv | cut -f1 | LC_ALL=C sort)
present=$(find png jpeg tga licenses -type f | LC_ALL=C sort)
if [ "$listed" != "$present" ]; then
    echo "files and sources.tsv differ (< listed only, > present only):"
    diff <(echo "$listed") <(echo "$present") | grep '^[<>]'
    exit 1
fi
tail -n +2 sources.tsv | awk -F'\t' '{ print $6 "  " $1 }' | sha256sum --check --quiet --strict
echo "$(echo "$listed" | wc -l) files match sources.tsv"
