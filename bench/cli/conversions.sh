#!/usr/bin/env bash
# pelkar1 hex2bin / bin2hex against objcopy and srec_cat, as whole processes, side by side
# in one hyperfine run each way; checks that every tool writes the same bytes, and reports
# the peak memory of each.  Usage: bench/cli/conversions.sh [path/to/pelkar1]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pelkar1=$(realpath "${1:-$here/../../build/ci/cli/pelkar1}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 "$here/make-image.py" image.bin
"$pelkar1" bin2hex image.bin image.hex >/dev/null
size=$(stat -c %s image.bin)

echo "== output check"
"$pelkar1" hex2bin image.hex p.bin >/dev/null
objcopy -I ihex -O binary --gap-fill 0xff image.hex o.bin
srec_cat image.hex -Intel -fill 0xFF 0 "$size" -o s.bin -Binary
cmp image.bin p.bin && cmp image.bin o.bin && cmp image.bin s.bin && echo "hex2bin: identical"
"$pelkar1" bin2hex image.bin p.hex >/dev/null
objcopy -I binary -O ihex image.bin o.hex
# Different record layouts are all valid HEX; each must read back as the image.
for f in p.hex o.hex; do
  "$pelkar1" hex2bin "$f" back.bin >/dev/null && cmp image.bin back.bin
done
echo "bin2hex: each output reads back as the image"

echo "== peak memory (KiB; the image is $((size / 1024)) KiB)"
for cmd in "$pelkar1 hex2bin image.hex p.bin" "objcopy -I ihex -O binary --gap-fill 0xff image.hex o.bin" \
           "$pelkar1 bin2hex image.bin p.hex" "objcopy -I binary -O ihex image.bin o.hex"; do
  /usr/bin/time -f "%M KiB  $cmd" $cmd >/dev/null
done

echo "== hex2bin"
hyperfine -N -w 2 -r 10 \
  -n pelkar1 "$pelkar1 hex2bin image.hex p.bin" \
  -n objcopy "objcopy -I ihex -O binary --gap-fill 0xff image.hex o.bin" \
  -n srec_cat "srec_cat image.hex -Intel -fill 0xFF 0 $size -o s.bin -Binary"
echo "== bin2hex"
hyperfine -N -w 2 -r 10 \
  -n pelkar1 "$pelkar1 bin2hex image.bin p.hex" \
  -n objcopy "objcopy -I binary -O ihex image.bin o.hex" \
  -n srec_cat "srec_cat image.bin -Binary -o s.hex -Intel"
