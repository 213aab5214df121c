# Sourced by scripts/common.sh: the one Wine that every Windows run uses.
# Wine comes from a Debian root of its own, made once per machine from the
# suite below (Wine 10, which gives a program a limited or a full token by
# its manifest, as Windows does) and the host's own mirror:
#   $KOBARU_WINE_FS (default /var/cache/kobaru/wine-root)
# It holds 32-bit and 64-bit Wine: the i686 programs run there where the
# kernel executes 32-bit x86 code, the x86_64 programs everywhere. The file
# .kobaru-root in it names what was installed; a root without the same text
# is made again. Every command runs in it through tests/wine/in-root, in a
# mount namespace of its own, so no mount is ever left behind.
# KOBARU_NO_WINE32=1 acts as if 32-bit code could not run.

WINE_ROOT_SUITE=trixie
WINE_FS=${KOBARU_WINE_FS:-/var/cache/kobaru/wine-root}
WINE_FS_PACKAGES="wine wine32 wine64 locales"
I386_LOADER=/usr/i686-linux-gnu/lib/ld-linux.so.2

# The first URI of the host's apt sources that serves the main suite (not
# -updates or -security) of this release, in either source file format.
host_mirror() {
  local suite=$1 file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v suite="$suite" 'BEGIN { RS = "" }
      { types = ""; suites = ""; uris = ""
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^Types:/) types = " " substr(lines[i], 7) " "
          if (lines[i] ~ /^Suites:/) suites = " " substr(lines[i], 8) " "
          if (lines[i] ~ /^URIs:/) uris = substr(lines[i], 6)
        }
        gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites)
        if (types ~ / deb / && index(suites, " " suite " ") && uris != "") {
          split(uris, u, " "); for (k in u) if (u[k] != "") { print u[k]; break }
        }
      }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -n "s/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+$suite[[:space:]].*/\2/p" "$file"
  done
}

# Makes the root when it is missing or incomplete; false when it cannot.
make_wine_root() {
  local host_suite mirror stamp partial started=$SECONDS
  stamp="suite=$WINE_ROOT_SUITE packages=$WINE_FS_PACKAGES locale=ja_JP.UTF-8"
  [ "$(cat "$WINE_FS/.kobaru-root" 2>/dev/null)" = "$stamp" ] && return 0
  mkdir -p "$(dirname "$WINE_FS")"
  exec {lock}>"$WINE_FS.lock"
  flock "$lock"
  if [ "$(cat "$WINE_FS/.kobaru-root" 2>/dev/null)" = "$stamp" ]; then
    exec {lock}>&-
    return 0
  fi
  # The mirror that serves the host's own release serves the root's suite too.
  host_suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(host_mirror "$host_suite" | head -n 1)
  if [ -z "$host_suite" ] || [ -z "$mirror" ]; then
    echo "no Debian release or mirror found in the host's apt sources" >"$WINE_FS.log"
    exec {lock}>&-
    return 1
  fi
  # Only a root of ours (with a stamp of other contents) is made anew.
  if [ -n "$(ls -A "$WINE_FS" 2>/dev/null)" ] && [ ! -f "$WINE_FS/.kobaru-root" ]; then
    echo "$WINE_FS is not empty and holds no root of ours: not replaced" >"$WINE_FS.log"
    exec {lock}>&-
    return 1
  fi
  log "making the Debian $WINE_ROOT_SUITE root that holds Wine in $WINE_FS (once per machine; log in $WINE_FS.log)"
  partial=$WINE_FS.partial
  rm -rf "$partial" "$WINE_FS"
  if debootstrap --arch=amd64 --variant=minbase "$WINE_ROOT_SUITE" "$partial" "$mirror" >"$WINE_FS.log" 2>&1 &&
     KOBARU_ROOT_BINDS= "$ROOT/tests/wine/in-root" "$partial" /bin/sh -ec "
       dpkg --add-architecture i386
       apt-get update -q
       DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $WINE_FS_PACKAGES
       localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
       apt-get clean" >>"$WINE_FS.log" 2>&1; then
    echo "$stamp" >"$partial/.kobaru-root"
    mv "$partial" "$WINE_FS"
    log "made the root in $((SECONDS - started)) s"
  else
    rm -rf "$partial"
  fi
  exec {lock}>&-
  [ -f "$WINE_FS/.kobaru-root" ]
}

# Prints why Wine cannot run here at all; false when it can (after making
# the root if needed).
wine_root_unavailable() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "making and entering the Debian root that holds Wine needs root"
  elif ! command -v debootstrap >/dev/null || ! command -v unshare >/dev/null ||
       ! unshare --mount true 2>/dev/null; then
    echo "no debootstrap, or no mount namespaces here"
  elif ! make_wine_root >&2; then
    echo "the Debian root that holds Wine could not be made (see $WINE_FS.log)"
  else
    return 1
  fi
}

# Prints why 32-bit Windows code cannot run here; false when it can.
wine32_unavailable() {
  local error
  if [ -n "${KOBARU_NO_WINE32:-}" ] && [ "$KOBARU_NO_WINE32" != 0 ]; then
    echo "turned off by KOBARU_NO_WINE32"
  elif ! error=$("$I386_LOADER" --help 2>&1 >/dev/null); then
    echo "the kernel does not execute 32-bit x86 code (an i386 program fails: ${error##*: })"
  else
    return 1
  fi
}

# Sets WINE_ROOT to the root when Wine runs here (else "") and WINE32 to it
# as well when 32-bit Windows programs run too, after one line that says
# what cannot run and why.
prepare_wine() {
  start_wine
  finish_wine
}

# start_wine finds that out in the background (making the root is mostly
# downloading, so it can overlap the builds); finish_wine waits for the
# answer and sets WINE_ROOT and WINE32.
start_wine() {
  WINE_ANSWER=$(mktemp)
  {
    if reason=$(wine_root_unavailable); then
      echo "none:$reason"
    elif reason=$(wine32_unavailable); then
      echo "64:$reason"
    else
      echo "32:"
    fi >"$WINE_ANSWER"
  } &
  WINE_JOB=$!
}

finish_wine() {
  local answer
  wait "$WINE_JOB" || true
  answer=$(cat "$WINE_ANSWER")
  rm -f "$WINE_ANSWER"
  WINE_ROOT="" WINE32=""
  case $answer in
    32:*) WINE_ROOT=$WINE_FS WINE32=$WINE_FS ;;
    64:*) WINE_ROOT=$WINE_FS
          echo "32-bit Windows code cannot run on this machine: ${answer#64:}" ;;
    none:*) echo "Wine cannot run on this machine, so every Windows program's run is skipped: ${answer#none:}" ;;
    *) echo "Wine cannot run on this machine, so every Windows program's run is skipped: the check was interrupted" ;;
  esac
}
