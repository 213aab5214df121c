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
#
# The publisher's certificate: a PKCS#12 file named by KOBARU_SIGN_PFX, its
# password in the file named by KOBARU_SIGN_PASSWORD_FILE, and optionally an
# RFC 3161 timestamp server in KOBARU_SIGN_TIMESTAMP_URL. Without them a
# throwaway test certificate is made in TEST_DIR. The password only ever
# travels in its file: never on a command line, never in a log.
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
    [ -n "${KOBARU_SIGN_PFX:-}" ] && [ -n "${KOBARU_SIGN_PASSWORD_FILE:-}" ] ||
      fail "KOBARU_SIGN_PFX and KOBARU_SIGN_PASSWORD_FILE must be set together"
    kind=publisher
    pfx=$(realpath "$KOBARU_SIGN_PFX")
    password_file=$(realpath "$KOBARU_SIGN_PASSWORD_FILE")
    [ -r "$pfx" ] || fail "cannot read the certificate file KOBARU_SIGN_PFX=$pfx"
    [ -r "$password_file" ] || fail "cannot read KOBARU_SIGN_PASSWORD_FILE=$password_file"
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

sign() {
  local in=$2 out=$3 description=$4
  read_state "$1"
  local args=(sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n "$description")
  [ -z "$time" ] || args+=(-time "$time")
  [ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
  rm -f "$out.tmp"
  osslsigncode "${args[@]}" -in "$in" -out "$out.tmp" >/dev/null ||
    { rm -f "$out.tmp"; fail "signing $in failed"; }
  mv "$out.tmp" "$out"
}

case ${1:-} in
  identity) [ $# -eq 4 ] || fail "usage: sign.sh identity STATE TEST_DIR SOURCE_DIR"; identity "$2" "$3" "$4" ;;
  sign) [ $# -eq 5 ] || fail "usage: sign.sh sign STATE IN OUT DESCRIPTION"; sign "$2" "$3" "$4" "$5" ;;
  *) fail "usage: sign.sh identity|sign ..." ;;
esac
