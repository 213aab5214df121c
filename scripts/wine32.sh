# Sourced by scripts/common.sh: a 32-bit Windows to run the i686 programs on.
# Wine's 32-bit half cannot be installed next to the host's own (the i386
# and amd64 package indexes of the host's suites disagree), so it lives in a
# Debian root of its own, made from the host's main suite alone, once per
# machine:
#   $KOBARU_WINE32_ROOT (default /var/cache/kobaru/wine32-root)
# The file .kobaru-root in it names what was installed; a root without the
# same text is made again. Every command runs in it through
# tests/wine/in-root, in a mount namespace of its own, so no mount is ever
# left behind. KOBARU_NO_WINE32=1 acts as if 32-bit code could not run.

WINE32_ROOT=${KOBARU_WINE32_ROOT:-/var/cache/kobaru/wine32-root}
WINE32_PACKAGES="wine wine32 wine64 locales"
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
make_wine32_root() {
  local suite mirror stamp partial started=$SECONDS
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  stamp="suite=$suite packages=$WINE32_PACKAGES locale=ja_JP.UTF-8"
  [ "$(cat "$WINE32_ROOT/.kobaru-root" 2>/dev/null)" = "$stamp" ] && return 0
  mkdir -p "$(dirname "$WINE32_ROOT")"
  exec {lock}>"$WINE32_ROOT.lock"
  flock "$lock"
  if [ "$(cat "$WINE32_ROOT/.kobaru-root" 2>/dev/null)" = "$stamp" ]; then
    exec {lock}>&-
    return 0
  fi
  mirror=$(host_mirror "$suite" | head -n 1)
  if [ -z "$suite" ] || [ -z "$mirror" ]; then
    echo "no Debian release or mirror found in the host's apt sources" >"$WINE32_ROOT.log"
    exec {lock}>&-
    return 1
  fi
  # Only a root of ours (with a stamp of other contents) is made anew.
  if [ -n "$(ls -A "$WINE32_ROOT" 2>/dev/null)" ] && [ ! -f "$WINE32_ROOT/.kobaru-root" ]; then
    echo "$WINE32_ROOT is not empty and holds no root of ours: not replaced" >"$WINE32_ROOT.log"
    exec {lock}>&-
    return 1
  fi
  log "making the Debian root for 32-bit Wine in $WINE32_ROOT (once per machine; log in $WINE32_ROOT.log)"
  partial=$WINE32_ROOT.partial
  rm -rf "$partial" "$WINE32_ROOT"
  if debootstrap --arch=amd64 --variant=minbase "$suite" "$partial" "$mirror" >"$WINE32_ROOT.log" 2>&1 &&
     KOBARU_ROOT_BINDS= "$ROOT/tests/wine/in-root" "$partial" /bin/sh -ec "
       dpkg --add-architecture i386
       apt-get update -q
       DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $WINE32_PACKAGES
       localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
       apt-get clean" >>"$WINE32_ROOT.log" 2>&1; then
    echo "$stamp" >"$partial/.kobaru-root"
    mv "$partial" "$WINE32_ROOT"
    log "made the root in $((SECONDS - started)) s"
  else
    rm -rf "$partial"
  fi
  exec {lock}>&-
  [ -f "$WINE32_ROOT/.kobaru-root" ]
}

# Prints why 32-bit Windows code cannot run here; false when it can (after
# making the root if needed).
wine32_unavailable() {
  local error
  if [ -n "${KOBARU_NO_WINE32:-}" ] && [ "$KOBARU_NO_WINE32" != 0 ]; then
    echo "turned off by KOBARU_NO_WINE32"
  elif ! error=$("$I386_LOADER" --help 2>&1 >/dev/null); then
    echo "the kernel does not execute 32-bit x86 code (an i386 program fails: ${error##*: })"
  elif [ "$(id -u)" -ne 0 ]; then
    echo "making and entering the Debian root that holds 32-bit Wine needs root"
  elif ! command -v debootstrap >/dev/null || ! command -v unshare >/dev/null ||
       ! unshare --mount true 2>/dev/null; then
    echo "no debootstrap, or no mount namespaces here"
  elif ! make_wine32_root >&2; then
    echo "the Debian root with 32-bit Wine could not be made (see $WINE32_ROOT.log)"
  else
    return 1
  fi
}

# Sets WINE32 to the root when 32-bit Windows programs can run here, else to
# "" after one line that says why (the x86_64 runs then stand in).
prepare_wine32() {
  start_wine32
  finish_wine32
}

# start_wine32 finds that out in the background (making the root is mostly
# downloading, so it can overlap the builds); finish_wine32 waits for the
# answer and sets WINE32.
start_wine32() {
  WINE32_ANSWER=$(mktemp)
  {
    if reason=$(wine32_unavailable); then
      echo "$reason"
    else
      echo "available"
    fi >"$WINE32_ANSWER"
  } &
  WINE32_JOB=$!
}

finish_wine32() {
  local reason
  wait "$WINE32_JOB" || true
  reason=$(cat "$WINE32_ANSWER")
  rm -f "$WINE32_ANSWER"
  WINE32=""
  if [ "$reason" = available ]; then
    WINE32=$WINE32_ROOT
  else
    echo "32-bit Windows code cannot run on this machine: ${reason:-the check was interrupted}"
  fi
}
