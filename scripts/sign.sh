#!/usr/bin/env bash
# Authenticode signatures (SHA-256, osslsigncode) for the Windows programs.
#
#   sign.sh identity STATE TEST_DIR SOURCE_DIR
#       Decides who signs and writes it to STATE (key=value lines), touching
#       STATE only when something changed, so that a build re-signs exactly
#       when the certificate, the timestamp server or the signing time does.
#       Also writes STATE.trust.pem: the signer's certificates (and the
#       system's CAs), against which `osslsigncode verify -CAfile` checks.
#   sign.sh sign STATE IN OUT DESCRIPTION
#       Writes IN signed as STATE says to OUT.
#   sign.sh keep-or-sign STATE IN OUT DESCRIPTION
#       Writes IN to OUT as it is when it already carries a signature (its
#       publisher's, which is not ours to replace), else signed as STATE says.
#   sign.sh signed FILE
#       True when FILE carries a signature (a certificate table).
#   sign.sh check
#       Checks the publisher's certificate named by KOBARU_SIGN_* (nothing
#       to check without them): ./dist.sh runs this before it builds.
#
# The publisher's certificate: a PKCS#12 file named by KOBARU_SIGN_PFX, its
# password in the file named by KOBARU_SIGN_PASSWORD_FILE, and optionally an
# RFC 3161 timestamp server in KOBARU_SIGN_TIMESTAMP_URL (given up on after
# KOBARU_SIGN_TIMESTAMP_TIMEOUT seconds, 60 by default). Both file names must
# be absolute: a build runs this script in its own folder, where a relative
# name would mean something else than where it was typed (./dist.sh makes
# them absolute against the folder it is run in). Without them a throwaway
# test certificate is made in TEST_DIR. The password only ever travels in
# its file: never on a command line, never in a log; the private key only
# ever in a pipe.
#
# Signing time: SOURCE_DATE_EPOCH when set, else the time of the last commit
# of SOURCE_DIR, else now. With a fixed time and the same certificate the
# signed file is the same byte for byte; a timestamp server's token is not.
set -euo pipefail

fail() { echo "sign.sh: $*" >&2; exit 1; }

# The certificates of a PKCS#12 file as PEM (the leaf only with -clcerts).
# OpenSSL 3 reads files with old encryption only through its legacy provider.
pkcs12_certs() {
  local pfx=$1 password_file=$2; shift 2
  openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nokeys "$@" 2>/dev/null ||
    openssl pkcs12 -legacy -in "$pfx" -passin "file:$password_file" -nokeys "$@" 2>/dev/null
}

# Why pkcs12_certs failed, in words: openssl tells a wrong password (its MAC
# check fails) from a file it cannot parse as PKCS#12 at all.
pkcs12_problem() {
  local pfx=$1 password_file=$2 errors
  errors=$(openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nokeys 2>&1 >/dev/null) || true
  case $errors in
    *"Mac verify error"*|*"mac verify failure"*)
      echo "wrong password: the password in $password_file does not open $pfx" ;;
    ""|*asn1*|*ASN1*|*"not enough data"*)
      echo "$pfx is not a PKCS#12 (.pfx) file or is damaged: openssl cannot parse it" ;;
    *"reading password"*)
      echo "cannot read a password from $password_file (is it empty?)" ;;
    *) echo "cannot open $pfx with the password in $password_file: openssl says" \
            "\"$(head -n1 <<<"$errors")\"" ;;
  esac
}

# usable_file VARIABLE PATH WHAT: fails, in one line naming the variable,
# unless PATH is an absolute name of a readable file.
usable_file() {
  local variable=$1 path=$2 what=$3 folder
  case $path in
    /*) ;;
    *) fail "cannot read $what $variable=$path: a relative name; give it from / (./dist.sh" \
            "takes it from the folder it is run in)" ;;
  esac
  folder=$(dirname "$path")
  if [ -d "$path" ]; then
    fail "cannot read $what $variable=$path: a folder, not a file"
  elif [ ! -e "$path" ] && [ ! -d "$folder" ]; then
    fail "cannot read $what $variable=$path: no such folder $folder"
  elif [ ! -e "$path" ]; then
    fail "cannot read $what $variable=$path: no such file"
  elif [ ! -r "$path" ] || [ ! -f "$path" ]; then
    fail "cannot read $what $variable=$path: not a readable file"
  fi
}

# publisher_files: sets pfx and password_file from KOBARU_SIGN_* (both set,
# both readable files).
publisher_files() {
  [ -n "${KOBARU_SIGN_PFX:-}" ] && [ -n "${KOBARU_SIGN_PASSWORD_FILE:-}" ] ||
    fail "KOBARU_SIGN_PFX and KOBARU_SIGN_PASSWORD_FILE must be set together"
  usable_file KOBARU_SIGN_PFX "$KOBARU_SIGN_PFX" "the certificate file"
  usable_file KOBARU_SIGN_PASSWORD_FILE "$KOBARU_SIGN_PASSWORD_FILE" "the password file"
  pfx=$(realpath "$KOBARU_SIGN_PFX")
  password_file=$(realpath "$KOBARU_SIGN_PASSWORD_FILE")
}

# The private key of a PKCS#12 file, unencrypted, to stdout (a pipe only).
pkcs12_key() {
  local pfx=$1 password_file=$2
  openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nocerts -nodes 2>/dev/null ||
    openssl pkcs12 -legacy -in "$pfx" -passin "file:$password_file" -nocerts -nodes 2>/dev/null
}

# A certificate date (openssl's "Jan  1 00:00:00 2030 GMT") as seconds.
certificate_time() { date -u -d "$1" +%s; }
shown_time() { date -u -d "@$1" '+%Y-%m-%d %H:%M UTC'; }

# check_certificate PFX PASSWORD_FILE: fails, in one line naming the reason
# and what was found, unless the password opens the file, its key belongs to
# its certificate, the certificate is valid now and allows code signing.
# osslsigncode would sign with any of these and leave a signature that
# does not verify.
check_certificate() {
  local pfx=$1 password_file=$2 leaf subject key_public cert_public start end now usages
  leaf=$(pkcs12_certs "$pfx" "$password_file" -clcerts) || fail "$(pkcs12_problem "$pfx" "$password_file")"
  key_public=$(pkcs12_key "$pfx" "$password_file" | openssl pkey -pubout 2>/dev/null) || true
  [ -n "$key_public" ] || fail "$pfx holds no private key: a certificate alone cannot sign"
  [ -n "$leaf" ] || fail "$pfx holds no certificate for its private key"
  subject=$(openssl x509 -noout -subject -nameopt RFC2253,-esc_msb <<<"$leaf" | sed 's/^subject=//')
  cert_public=$(openssl x509 -noout -pubkey <<<"$leaf")
  [ "$key_public" = "$cert_public" ] ||
    fail "the private key in $pfx does not belong to its certificate ($subject)"

  start=$(certificate_time "$(openssl x509 -noout -startdate <<<"$leaf" | sed 's/^notBefore=//')")
  end=$(certificate_time "$(openssl x509 -noout -enddate <<<"$leaf" | sed 's/^notAfter=//')")
  now=$(date -u +%s)
  if [ "$now" -ge "$end" ]; then
    fail "the certificate in $pfx ($subject) has expired: valid from $(shown_time "$start")" \
         "to $(shown_time "$end")"
  elif [ "$now" -lt "$start" ]; then
    fail "the certificate in $pfx ($subject) is not valid yet: valid from $(shown_time "$start")" \
         "to $(shown_time "$end")"
  fi

  # Its extended key usages, one line after openssl's heading; none at all
  # allows every use.
  usages=$(openssl x509 -noout -ext extendedKeyUsage <<<"$leaf" 2>/dev/null | sed -n '2,$p' |
           sed 's/^ *//' | paste -sd' ')
  if [ -n "$usages" ] && ! grep -qE '(^|, )Code Signing(,|$)' <<<"$usages"; then
    fail "the certificate in $pfx ($subject) does not allow code signing: its extended key" \
         "usage is $usages"
  fi
}

make_test_certificate() {
  local dir=$1
  [ -f "$dir/test.pfx" ] && [ -f "$dir/password" ] && return
  local work
  mkdir -p "$(dirname "$dir")"
  work=$(mktemp -d "${dir%/}.XXXXXX")
  (
    umask 077
    openssl rand -hex 24 >"$work/password"
    openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes -batch \
      -subj "/CN=Kobaru test signing - NOT TRUSTED" \
      -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
      -keyout "$work/key.pem" -out "$work/certificate.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/certificate.pem" \
      -passout "file:$work/password" -out "$work/test.pfx"
    rm "$work/key.pem"
  ) || { rm -rf "$work"; fail "could not make a test certificate in $dir"; }
  # Another build may have made one meanwhile; the first one stays.
  mv -T "$work" "$dir" 2>/dev/null || rm -rf "$work"
}

identity() {
  local state=$1 test_dir=$2 source_dir=$3
  local kind pfx password_file url=${KOBARU_SIGN_TIMESTAMP_URL:-}
  if [ -n "${KOBARU_SIGN_PFX:-}" ] || [ -n "${KOBARU_SIGN_PASSWORD_FILE:-}" ]; then
    kind=publisher
    publisher_files
    check_certificate "$pfx" "$password_file"
  else
    kind=test
    make_test_certificate "$test_dir"
    pfx=$(realpath "$test_dir/test.pfx")
    password_file=$(realpath "$test_dir/password")
  fi

  local time=${SOURCE_DATE_EPOCH:-}
  if [ -z "$time" ]; then
    time=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || true)
  fi
  [ -z "$time" ] || [[ $time =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $time"

  local leaf subject
  leaf=$(pkcs12_certs "$pfx" "$password_file" -clcerts) || fail "$(pkcs12_problem "$pfx" "$password_file")"
  # As text: UTF-8 left as it is, not escaped byte by byte.
  subject=$(openssl x509 -noout -subject -nameopt RFC2253,-esc_msb <<<"$leaf" | sed 's/^subject=//')

  mkdir -p "$(dirname "$state")"
  local new=$state.new
  {
    echo "state=$kind"
    echo "pfx=$pfx"
    echo "password_file=$password_file"
    echo "pfx_sha256=$(sha256sum "$pfx" | cut -d' ' -f1)"
    echo "subject=$subject"
    echo "timestamp_url=$url"
    echo "time=$time"
  } >"$new"
  if cmp -s "$new" "$state"; then
    rm "$new"
  else
    mv "$new" "$state"
  fi
  {
    pkcs12_certs "$pfx" "$password_file"
    [ "$kind" = test ] || cat /etc/ssl/certs/ca-certificates.crt 2>/dev/null || true
  } >"$state.trust.pem.new"
  mv "$state.trust.pem.new" "$state.trust.pem"
}

# read_state STATE: sets the globals state, pfx, password_file, timestamp_url
# and time from the lines of STATE (read as data, never run).
read_state() {
  local key value
  while IFS='=' read -r key value; do
    case $key in
      state|pfx|password_file|timestamp_url|time) printf -v "$key" '%s' "$value" ;;
    esac
  done <"$1"
}

# Why osslsigncode could not get a timestamp from URL, in words, from its
# output (OpenSSL's error lines) and its exit status (124: timeout ended it).
timestamp_problem() {
  local url=$1 output=$2 status=$3 seconds=$4 http
  if [ "$status" -eq 124 ]; then
    echo "no answer from the timestamp server $url within $seconds s (time-out)"
  elif grep -q 'Name or service not known\|nodename nor servname\|Temporary failure in name resolution' <<<"$output"; then
    echo "the timestamp server's host was not found: $url"
  elif grep -q 'Connection refused' <<<"$output"; then
    echo "the timestamp server refused the connection: $url"
  elif http=$(grep -o 'code=[0-9]*, reason=[^:]*' <<<"$output" | head -n1) && [ -n "$http" ]; then
    http=${http#code=}
    echo "the timestamp server answered HTTP ${http%%, *} ${http#*, reason=}: $url"
  elif grep -qi 'timed out\|timeout' <<<"$output"; then
    echo "no answer from the timestamp server $url in time (time-out)"
  else
    echo "no timestamp from $url: osslsigncode says \"$(grep -m1 -i 'error\|fail' <<<"$output")\""
  fi
}

sign() {
  local in=$2 out=$3 description=$4
  read_state "$1"
  local args=(sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n "$description")
  local output status=0 seconds=${KOBARU_SIGN_TIMESTAMP_TIMEOUT:-60} run=()
  [ -z "$time" ] || args+=(-time "$time")
  if [ -n "$timestamp_url" ]; then
    [[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] ||
      fail "KOBARU_SIGN_TIMESTAMP_TIMEOUT is not a number of seconds: $seconds"
    # osslsigncode waits for a silent server for ever.
    args+=(-ts "$timestamp_url")
    run=(timeout "$seconds")
  fi
  rm -f "$out.tmp"
  # Its own lines are kept from the output: they advise options (-t) that
  # ./dist.sh does not have; the reason is told below.
  output=$("${run[@]}" osslsigncode "${args[@]}" -in "$in" -out "$out.tmp" 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    rm -f "$out.tmp"
    if [ -n "$timestamp_url" ] && { [ "$status" -eq 124 ] || grep -q 'timestamping failed' <<<"$output"; }; then
      fail "signing $in failed: $(timestamp_problem "$timestamp_url" "$output" "$status" "$seconds")"
    fi
    fail "signing $in failed: osslsigncode says \"$(grep -m1 -v '^$' <<<"$output")\""
  fi
  mv "$out.tmp" "$out"
}

# signed FILE: true when FILE, a PE image, has a certificate table (data
# directory 4; its entry sits 128 bytes into a PE32 optional header, 144
# into a PE32+ one).
signed() {
  local file=$1 header magic directory size
  header=$(od -An -tu4 -j60 -N4 "$file" 2>/dev/null | tr -d ' ')
  [ -n "$header" ] || return 1
  magic=$(od -An -tu2 -j$((header + 24)) -N2 "$file" 2>/dev/null | tr -d ' ')
  case $magic in
    267) directory=$((header + 24 + 128)) ;;
    523) directory=$((header + 24 + 144)) ;;
    *) return 1 ;;
  esac
  size=$(od -An -tu4 -j$((directory + 4)) -N4 "$file" 2>/dev/null | tr -d ' ')
  [ -n "$size" ] && [ "$size" -gt 0 ]
}

keep_or_sign() {
  local in=$2 out=$3
  if signed "$in"; then
    rm -f "$out.tmp"
    cp "$in" "$out.tmp"
    mv "$out.tmp" "$out"
  else
    sign "$@"
  fi
}

check() {
  [ -n "${KOBARU_SIGN_PFX:-}" ] || [ -n "${KOBARU_SIGN_PASSWORD_FILE:-}" ] || return 0
  publisher_files
  check_certificate "$pfx" "$password_file"
}

case ${1:-} in
  identity) [ $# -eq 4 ] || fail "usage: sign.sh identity STATE TEST_DIR SOURCE_DIR"; identity "$2" "$3" "$4" ;;
  sign) [ $# -eq 5 ] || fail "usage: sign.sh sign STATE IN OUT DESCRIPTION"; sign "$2" "$3" "$4" "$5" ;;
  keep-or-sign) [ $# -eq 5 ] || fail "usage: sign.sh keep-or-sign STATE IN OUT DESCRIPTION"
    keep_or_sign "$2" "$3" "$4" "$5" ;;
  signed) [ $# -eq 2 ] || fail "usage: sign.sh signed FILE"; signed "$2" ;;
  check) [ $# -eq 1 ] || fail "usage: sign.sh check"; check ;;
  *) fail "usage: sign.sh identity|sign|keep-or-sign|signed|check ..." ;;
esac
