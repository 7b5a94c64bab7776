# Sourced by the Windows test scripts (bash): wine_env EXE prepares Wine to run the
# Windows program EXE and holds a shared lock on its prefix until the script ends.
#  - x86-64 programs run in msi-oracle's prefix ($MSI_ORACLE_CACHE/prefix), so the
#    oracle and the tool share one; it is stamped as msi-oracle stamps it (Wine
#    version and architectures), so neither remakes the other's prefix.
#  - i686 programs run in a 32-bit prefix of their own ($MKX_WINE32_CACHE/prefix,
#    default mkxform-wine32-UID in $TMPDIR or /tmp).
# A prefix is (re)made when it is missing or its stamp differs: one made before
# wine32 was installed no longer starts. Returns 77, with the reason on standard
# output, when this machine cannot run the program (no Wine, no wine32, or a kernel
# that does not run 32-bit programs), or 2 when MKX_WINE_REQUIRED is set; 2 when
# the prefix cannot be made.

wine_stamp() {
  local arches=() d
  for d in /usr/lib/i386-linux-gnu/wine /usr/lib/x86_64-linux-gnu/wine /usr/lib/wine /usr/lib32/wine /usr/lib64/wine; do
    [ -d "$d" ] && arches+=("$d")
  done
  printf '%s %s\n' "$(wine --version 2>/dev/null)" "${arches[*]}"
}

# The machine field of a PE file's header: 014c (i686) or 8664 (x86-64).
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

# not_run REASON: the program cannot run here.
not_run() {
  echo "not run: $1"
  [ -z "${MKX_WINE_REQUIRED:-}" ] || return 2
  return 77
}

wine_env() {
  command -v wine >/dev/null || { not_run "wine is not installed"; return; }
  local cache
  case $(pe_machine "$1") in
    8664)
      cache=${MSI_ORACLE_CACHE:-${TMPDIR:-/tmp}/msi-oracle-$(id -u)}
      export WINEARCH=win64 ;;
    014c)
      # Debian's wine32 loader is a 32-bit Linux program: it needs a kernel with
      # 32-bit support (ia32_emulation, off by default on some kernels).
      [ -d /usr/lib/i386-linux-gnu/wine ] && [ -x /usr/lib/wine/wine ] ||
        { not_run "32-bit Wine (wine32:i386) is not installed"; return; }
      /usr/lib/wine/wine --version >/dev/null 2>&1 ||
        { not_run "this kernel cannot run 32-bit programs (32-bit Wine fails to start)"; return; }
      cache=${MKX_WINE32_CACHE:-${TMPDIR:-/tmp}/mkxform-wine32-$(id -u)}
      export WINEARCH=win32 ;;
    *) echo "$1 is not an i686 or x86-64 Windows program"; return 2 ;;
  esac
  export WINEPREFIX=$cache/prefix WINEDEBUG=-all DISPLAY= LC_ALL=C.UTF-8
  export WINEDLLOVERRIDES='mscoree,mshtml='
  unset WAYLAND_DISPLAY
  mkdir -p "$cache" && chmod 700 "$cache"
  local stamp
  stamp=$(wine_stamp)
  exec 9>>"$cache/lock"
  flock -s 9
  if [ "$(cat "$cache/ready" 2>/dev/null)" != "$stamp" ]; then
    flock -x 9
    if [ "$(cat "$cache/ready" 2>/dev/null)" != "$stamp" ]; then
      rm -f "$cache/ready"
      rm -rf "$WINEPREFIX"
      { wineboot -i >/dev/null 2>&1 && wineserver -w; } || { echo "cannot make $WINEPREFIX"; return 2; }
      printf '%s\n' "$stamp" >"$cache/ready"
    fi
    flock -s 9
  fi
  return 0
}
