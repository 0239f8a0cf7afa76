#!/usr/bin/env bash
# Installs the Debian packages named as arguments (nothing when there are
# none), through sudo unless running as root. The build scripts list what
# they find missing and hand it here.
set -euo pipefail
[ $# -gt 0 ] || exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
