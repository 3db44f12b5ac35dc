#!/usr/bin/env bash
# pelkar1 hex2bin / bin2hex against objcopy and srec_cat as whole processes, timed in
# alternation on an 8 MiB image with 0xFF gaps; checks every output first, reports peak memory,
# and ends with the ratios (how many times faster pelkar1 is, median against median).
# Usage: bench/cli/conversions.sh [path/to/pelkar1] [runs]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pelkar1=$(realpath "${1:-$here/../../build/ci/cli/pelkar1}")
runs=${2:-15}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The image make-image.py writes, and the text bin2hex has always written for it.
image_sha=26f2ee61ed9960eb49f155a28f70c35030bd286156896e3977ebbbfa64e5ad2b
hex_sha=a969210744a88f955675f042a35bc20711466e7d121d341752e9517b02325f31

python3 "$here/make-image.py" image.bin
size=$(stat -c %s image.bin)
sha() { sha256sum "$1" | cut -d' ' -f1; }
[ "$(sha image.bin)" = "$image_sha" ] || echo "note: make-image.py wrote another image than usual"

echo "== output check"
"$pelkar1" bin2hex image.bin image.hex >/dev/null
if [ "$(sha image.bin)" = "$image_sha" ]; then
  [ "$(sha image.hex)" = "$hex_sha" ] || { echo "bin2hex: the text differs from what it always wrote"; exit 1; }
  echo "bin2hex: the same text as always (sha256 $hex_sha)"
fi
"$pelkar1" hex2bin image.hex p.bin >/dev/null
objcopy -I ihex -O binary --gap-fill 0xff image.hex o.bin
srec_cat image.hex -Intel -fill 0xFF 0 "$size" -o s.bin -Binary
cmp image.bin p.bin && cmp p.bin o.bin && cmp p.bin s.bin
echo "hex2bin: identical to objcopy --gap-fill 0xff and to srec_cat"
objcopy -I binary -O ihex image.bin o.hex
"$pelkar1" hex2bin o.hex back.bin >/dev/null && cmp image.bin back.bin
echo "hex2bin reads objcopy's text back as the image"

h2b_p="$pelkar1 hex2bin image.hex p.bin"
h2b_o="objcopy -I ihex -O binary --gap-fill 0xff image.hex o.bin"
h2b_s="srec_cat image.hex -Intel -fill 0xFF 0 $size -o s.bin -Binary"
b2h_p="$pelkar1 bin2hex image.bin p.hex"
b2h_o="objcopy -I binary -O ihex image.bin o.hex"
b2h_s="srec_cat image.bin -Binary -o s.hex -Intel"
echo "== peak memory (KiB; the image is $((size / 1024)) KiB)"
for cmd in "$h2b_p" "$h2b_o" "$b2h_p" "$b2h_o"; do
  /usr/bin/time -f "%M KiB  $cmd" $cmd >/dev/null
done

# Prints the timings of one alternation; ratio NAME then gives NAME's ratio from it.
measure() { python3 "$here/alternate.py" "$@" | tee last | grep -v '^ratios:'; }
ratio() { sed -n "s/^ratios: .*$1=\([0-9.]*\).*/\1/p" last; }

echo "== hex2bin (image $((size / 1024)) KiB, text $(($(stat -c %s image.hex) / 1024)) KiB)"
measure -r "$runs" pelkar1 "$h2b_p" objcopy "$h2b_o"
h2b_obj=$(ratio objcopy)
# srec_cat takes seconds for hex2bin: it gets fewer runs of its own.
measure -r 3 -w 1 pelkar1 "$h2b_p" srec_cat "$h2b_s"
h2b_src=$(ratio srec_cat)
echo "== bin2hex"
measure -r "$runs" pelkar1 "$b2h_p" objcopy "$b2h_o"
b2h_obj=$(ratio objcopy)
measure -r 5 -w 1 pelkar1 "$b2h_p" srec_cat "$b2h_s"
b2h_src=$(ratio srec_cat)

echo "== pelkar1 is faster, median whole process against median"
echo "hex2bin: ${h2b_obj}x objcopy, ${h2b_src}x srec_cat"
echo "bin2hex: ${b2h_obj}x objcopy, ${b2h_src}x srec_cat"
