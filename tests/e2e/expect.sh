# Sourced by the end-to-end case scripts: checks of a finished run. The caller sets status (the
# tool's exit status), text (what it printed), image (the file it sent), work (where the
# simulators wrote received-N.srec) and defines fail.

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_text() {
    [[ "$text" == *"$1"* ]] || fail "missing text: $(printf '%q' "$1")"
}

# Simulator $1 must hold the file's first $2 records (all when omitted), in order: the file's, or
# those in $sent_records when the image is made into records (Intel HEX, ELF).
expect_image() {
    local records
    records=$(tr -d '\r' <"${sent_records:-$image}" | awk 'length($0) >= 9')
    [ $# -gt 1 ] && records=$(printf '%s\n' "$records" | head -n "$2")
    [ "$(cat "$work/received-$1.srec" 2>/dev/null)" == "$records" ] ||
        fail "simulator $1's image differs from the file's records${2:+ (first $2)}"
}
