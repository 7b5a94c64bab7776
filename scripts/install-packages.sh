#!/bin/sh
# Installs those of the named Debian packages that are not installed yet (apt-get;
# through sudo when not run as root). A name ending in ":i386" first enables the
# i386 architecture when it is not enabled yet.
#   scripts/install-packages.sh PACKAGE...
set -eu
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  case $missing in
    *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
  # While a mirror is being synced, an index can fail to match its release file
  # ("Mirror sync in progress?"): wait and update again, for a few minutes, then
  # install from the lists apt has (the failed index may not be one these need).
  tries=1
  until $sudo apt-get update -qq; do
    if [ "$tries" -ge 4 ]; then
      echo "apt-get update failed $tries times; installing from the package lists apt has"
      break
    fi
    echo "apt-get update failed (try $tries of 4); trying again in a minute"
    tries=$((tries + 1))
    sleep 60
  done
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi
