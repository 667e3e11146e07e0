#!/usr/bin/env bash
# The records the tool sends for an ELF, Intel HEX or raw binary file must be objcopy's:
# objcopy -O srec --srec-len=N, with -I ihex or -I binary --change-addresses ADDR, apart from the
# S0 header's text (objcopy names its output file there, the tool the image) and the line ends
# (objcopy writes CR LF, the tool sends a line feed). The ELF files are linked here, 32 and 64
# bits in both byte orders, one with .data loaded in flash and run in RAM; the HEX and binary
# files are objcopy's own from them. S-records too long to send whole are split: their data must
# stay at its addresses.
# usage: objcopy_differential.sh IMAGE_CONVERT_DRIVER WORK_DIR
set -uo pipefail
driver=$1
work=$2/image_objcopy
rm -rf "$work" && mkdir -p "$work"
cd "$work" || exit 1
compared=0
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The records without the header and the line ends.
records() { tail -n +2 "$1" | tr -d '\r'; }

# $1: the file, $2: a name for the case, then the driver's options, --, objcopy's input options.
compare() {
    local file=$1 name=$2
    shift 2
    local ours=() theirs=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do ours+=("$1") && shift; done
    shift
    theirs=("$@")
    local bytes=16
    [ "${ours[0]:-}" = --record-bytes ] && bytes=${ours[1]}
    objcopy "${theirs[@]}" -O srec --srec-len="$bytes" "$file" "$name.objcopy" ||
        { fail "objcopy refused $file ($name)" && return; }
    "$driver" "${ours[@]}" "$file" "$name.tool" >"$name.err" ||
        { fail "the tool refused $file ($name): $(cat "$name.err")" && return; }
    compared=$((compared + 1))
    if ! cmp -s <(records "$name.objcopy") <(records "$name.tool"); then
        fail "$name: the records differ from objcopy's"
        diff <(records "$name.objcopy") <(records "$name.tool") | head -n 6
    fi
    local header
    header=$(printf '%s' "${file:0:40}" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
    [[ "$(head -n 1 "$name.tool")" == S0??0000"$header"?? ]] || fail "$name: header $(head -n 1 "$name.tool")"
}

# objcopy's generic name for an ELF file's class and byte order: it needs one for -O binary of a
# machine it was not built for.
generic_format() {
    local class order
    class=$(readelf -h "$1" | sed -n 's/^ *Class: *ELF\([0-9]*\)$/\1/p')
    order=$(readelf -h "$1" | sed -n 's/^ *Data:.*\(little\|big\) endian$/\1/p')
    echo "elf$class-$order"
}

# Every byte at its address: one record a byte, in address order.
bytes_by_address() { objcopy -I srec -O srec --srec-len=1 "$1" "$1.bytes" && grep '^S[123]' "$1.bytes" | tr -d '\r'; }

cat >flash.ld <<'LD'
MEMORY { FLASH (rx) : ORIGIN = 0x08000004, LENGTH = 1M
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 128K }
ENTRY(_start)
SECTIONS {
  .text : { *(.text*) } > FLASH
  .rodata : { *(.rodata*) } > FLASH
  .data : { *(.data*) } > RAM AT > FLASH
  .bss : { *(.bss*) } > RAM
}
LD
# Low addresses for S1 records, a 24-bit one for S2.
sed 's/0x08000004, LENGTH = 1M/0x0100, LENGTH = 60K/; s/0x20000000, LENGTH = 128K/0xF000, LENGTH = 4K/' \
    flash.ld >low.ld
sed 's/0x08000004/0x00080000/; s/0x20000000/0x00C00000/' flash.ld >mid.ld

# x86 code, with a .text that starts off a 16-byte boundary and runs across 64 KiB ones (where a HEX file starts a new
# extended address record) and .data in RAM, loaded after .rodata in flash.
cat >big.s <<'ASM'
.text
.globl _start
_start: .fill 70001, 1, 0x90
  .byte 1, 2, 3
.section .rodata
  .ascii "rodata, unaligned"
.data
  .long 0x11223344, 0x55667788
  .fill 37, 1, 0xAB
.bss
  .fill 64, 1, 0
ASM
sed 's/70001/300/' big.s >small.s
as --64 big.s -o big64.o && ld -T flash.ld big64.o -o x86_64.elf || fail "as/ld for x86-64"
as --32 big.s -o big32.o && ld -m elf_i386 -T flash.ld big32.o -o i386.elf || fail "as/ld for i386"
as --64 small.s -o small64.o && ld -T low.ld small64.o -o low.elf && ld -T mid.ld small64.o -o mid.elf ||
    fail "as/ld for the low and middle addresses"
elves=(x86_64.elf i386.elf low.elf mid.elf)

# Big-endian and other machines through clang and lld, where they are installed.
cat >program.c <<'C'
const char greeting[] = "hello from rodata";
int counter = 0x11223344;
char table[40] = {1, 2, 3, 4, 5};
int zeroed;
void _start(void) { counter += greeting[zeroed] + table[3]; for (;;); }
C
for target in armv7-none-eabi armebv7-none-eabi aarch64-none-elf aarch64_be-none-elf \
    powerpc64-unknown-linux-gnu mips-unknown-linux-gnu; do
    if clang --target=$target -O1 -ffreestanding -nostdlib -c program.c -o "$target.o" 2>/dev/null &&
        ld.lld -T flash.ld "$target.o" -o "$target.elf" 2>/dev/null; then
        elves+=("$target.elf")
    else
        echo "note: no clang or ld.lld for $target here"
    fi
done
# And one the machine has: a position-independent executable with dynamic sections.
[ -f /bin/true ] && cp /bin/true true.elf && elves+=(true.elf)

for elf in "${elves[@]}"; do
    base=${elf%.elf}
    compare "$elf" "$base" --
    objcopy -O ihex "$elf" "$base.hex" && compare "$base.hex" "$base.hex" -- -I ihex
    # The flash part alone as a raw binary, at its address.
    start=$(readelf -SW "$elf" | sed -n 's/.*\] \.text  *[A-Z_]*  *\([0-9a-f]*\) .*/0x\1/p')
    [ -n "$start" ] || { fail "$elf: no .text address" && continue; }
    objcopy -I "$(generic_format "$elf")" -O binary -j .text -j .rodata "$elf" "$base.bin" &&
        compare "$base.bin" "$base.bin" --base "$start" -- -I binary --change-addresses "$start"
done
# Other record lengths, up to the longest an S3 record may be.
for bytes in 1 32 197; do
    compare x86_64.elf "x86_64-$bytes" --record-bytes "$bytes" --
    compare x86_64.hex "x86_64.hex-$bytes" --record-bytes "$bytes" -- -I ihex
done

# Records of 250 data bytes are too long to send: split, every byte stays at its address.
for elf in x86_64.elf low.elf; do
    objcopy -O srec --srec-len=250 "$elf" "$elf.long.srec"
    if "$driver" "$elf.long.srec" "$elf.split.srec" >"$elf.split.err"; then
        compared=$((compared + 1))
        [ "$(bytes_by_address "$elf.long.srec")" == "$(bytes_by_address "$elf.split.srec")" ] ||
            fail "$elf.long.srec: the split moved or lost data"
        awk 'length($0) > 408 { exit 1 }' "$elf.split.srec" || fail "$elf.split.srec: a line over 408"
    else
        fail "the tool refused $elf.long.srec: $(cat "$elf.split.err")"
    fi
done

echo "$compared comparisons, $failures failures"
[ "$compared" -ge 30 ] || fail "only $compared comparisons ran"
[ $failures -eq 0 ]
