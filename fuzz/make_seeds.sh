#!/usr/bin/env bash
# Fills SEED_DIR/fuzz_run, SEED_DIR/fuzz_search, SEED_DIR/fuzz_decode, SEED_DIR/fuzz_message and
# SEED_DIR/fuzz_writers with starting inputs:
# a few hand-made ones, the sample file, the shared corpus of real files when it is there (cut to
# their first 64 KiB: the structure the targets care about starts early), and the crafted inputs
# of the builders when the program that writes them (the fuzz_write_seeds target) is given.
#
#   fuzz/make_seeds.sh SEED_DIR [path of fuzz_write_seeds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seeds=${1:?usage: make_seeds.sh SEED_DIR [fuzz_write_seeds]}
writer=${2:-}
shared="$root/../shared/corpus"
mkdir -p "$seeds/fuzz_run" "$seeds/fuzz_search" "$seeds/fuzz_decode" "$seeds/fuzz_message" \
  "$seeds/fuzz_writers"

# --- hand-made: one small TNEF stream with a title, an 8-bit and a Unicode name ---------------
tnef() {
  printf '\x78\x9f\x3e\x22\x01\x00'                            # signature, key
  printf '\x02\x10\x80\x01\x00\x06\x00\x00\x00a.txt\x00\x00\x00' # attAttachTitle "a.txt"
  printf '\x02\x0f\x80\x06\x00\x05\x00\x00\x00hello\x00\x00'     # attAttachData "hello"
  printf '\x02\x05\x90\x06\x00\x34\x00\x00\x00'                  # attAttachment, 52 bytes
  printf '\x02\x00\x00\x00'                                      #   two properties
  printf '\x1e\x00\x07\x37\x01\x00\x00\x00\x0a\x00\x00\x00'      #   8-bit long file name
  printf 'b-file.txt\x00\x00'
  printf '\x1f\x00\x01\x30\x01\x00\x00\x00\x0c\x00\x00\x00'      #   Unicode display name
  printf 'c\x00.\x00t\x00x\x00t\x00\x00\x00'
  printf '\x00\x00'                                              # checksum
  printf '\x02\x0f\x80\x06\x00\xff\xff\xff\xff'                  # attAttachData, length -1
  printf '\x02\x0f\x80\x06\x00\x00\x00\x00\x00'                  # attAttachData, length 0
  printf '\x02\x0f\x80\x06\x00\x00\x01\x00\x00xy'                # attAttachData, too long
}
tnef >"$seeds/fuzz_run/hand_tnef"
{
  printf 'Content-Transfer-Encoding: base64\r\n\r\n'
  tnef | base64 -w 76 | sed 's/$/\r/'
  printf -- '------=_NextPart_000\r\n'
} >"$seeds/fuzz_run/hand_base64.eml"
{
  printf 'Content-Transfer-Encoding: quoted-printable\r\n\r\n'
  printf 'x=9F>"=01=00=02=10=80=01=00=06=00=00=00a.txt=00=00=00=\r\n'
  printf '=02=0F=80=06=00=05=00=00=00hello=00=00=\n=3d=G==41=4'
} >"$seeds/fuzz_run/hand_quoted.eml"

# --- the sample file, and the real files -------------------------------------------------------
[ -f "$root/samples/winmail.dat" ] && cp "$root/samples/winmail.dat" "$seeds/fuzz_run/sample.dat"
if [ -d "$shared" ]; then
  for file in "$shared"/raw/* "$shared"/mime/* "$shared"/b64/*; do
    [ -f "$file" ] && head -c 65536 "$file" >"$seeds/fuzz_run/$(basename "$file")"
  done
fi

# --- the builders' crafted inputs -------------------------------------------------------------
if [ -n "$writer" ]; then
  "$writer" "$seeds"
fi

# --- searches: headers of modes, pattern length, pattern offset, start, window and limit --------
# (see fuzz_search.cpp), each in front of a stretch of a run seed.
headers=(
  '\x40\x04\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\x00\x00\x00\x00'
  '\x55\x05\x20\x00\x03\x00\x00\x00\x00\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00'
  '\xe8\x20\x00\x01\x09\x00\x00\x00\x00\x00\x00\x00\xff\x00\x00\x00\x00\x00\x00\x00\xff\x00\x00\x00\x00\x00\x00\x00'
  '\x80\x2a\x05\x00\x40\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00'
)
i=0
for file in "$seeds"/fuzz_run/*; do
  header=${headers[$((i % ${#headers[@]}))]}
  { printf "$header"; head -c 4096 "$file"; } >"$seeds/fuzz_search/$(basename "$file")"
  i=$((i + 1))
done

# --- decoders: which decoder (even: base64, odd: quoted-printable), start, then the text --------
for file in "$seeds"/fuzz_run/*.eml "$seeds"/fuzz_run/*.b64; do
  [ -f "$file" ] || continue
  { printf '\x00\x00\x00'; head -c 8192 "$file"; } >"$seeds/fuzz_decode/b64_$(basename "$file")"
  { printf '\x01\x00\x00'; head -c 8192 "$file"; } >"$seeds/fuzz_decode/qp_$(basename "$file")"
done

# --- the message's layers: which one (0 the reader and the text, 1 the decompressor, 2 the
# de-encapsulator), then its input (see fuzz_message.cpp) ------------------------------------------
for file in "$seeds"/fuzz_run/*; do
  case "$file" in *.eml | *.b64) continue ;; esac
  { printf '\x00'; cat "$file"; } >"$seeds/fuzz_message/$(basename "$file")"
done
{
  printf '\x02'
  printf '%s' '{\rtf1\ansi\ansicpg1251\fromhtml1 \deff0{\fonttbl{\f0\fcharset204 A;}{\f1\fcharset128 B;}}'
  printf '%s' '{\*\htmltag19 <html><head>}{\*\htmltag241 <style>\par\tab p\{\}</style>}\htmlrtf {\htmlrtf0 '
  printf '%s' "\\'c1\\f1\\'82\\'a0\\uc1\\u1055?\\u-10179?\\u-8704?\\lquote\\~}{\\*\\mhtmltag1 x}}"
} >"$seeds/fuzz_message/hand_fromhtml.rtf"
printf '\x02%s' "{\\rtf1\\ansi\\fromtext a\\par b\\tab c\\'e9}" >"$seeds/fuzz_message/hand_fromtext.rtf"

# --- the writers: which input (0 a recurrence pattern, 1 a time zone, 2 a stream written as a
# calendar and as a message), then the input (see fuzz_writers.cpp); the builders add their own ---
for file in "$seeds"/fuzz_run/*; do
  case "$file" in *.eml | *.b64) continue ;; esac
  { printf '\x02'; cat "$file"; } >"$seeds/fuzz_writers/$(basename "$file")"
done
