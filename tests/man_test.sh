#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual page renders without a single warning from man or groff, and its
# footer names the version being built.
set -euo pipefail
page=$1
version=$2
warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "$warnings"
    exit 1
fi
MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | tail -n 1 | grep -q "loadhog $version" ||
    { echo "the footer does not name loadhog $version"; exit 1; }
