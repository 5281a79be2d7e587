#!/usr/bin/env bash
# Checks the files that go with the installed programs: the man pages render
# without a groff warning, the desktop entry and the AppStream metainfo
# validate (offline).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for page in "$root"/docs/man/*.1; do
  out=$(groff -man -ww -z "$page" 2>&1) || status=1
  [ -z "$out" ] || { printf '%s: %s\n' "$page" "$out"; status=1; }
done
desktop-file-validate "$root/ui/desktop/quarlix-gui.desktop" || status=1
appstreamcli validate --no-net "$root/ui/desktop/com.quarlix.Recovery.metainfo.xml" || status=1
exit "$status"
