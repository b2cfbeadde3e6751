# Sourced by the stub programs: records each call under $VOP_STUB_LOG (nothing when it is unset).
#   <name>.calls   one line per call, the arguments separated by tabs
#   <name>.env     one line per call: I3SOCK, DISPLAY, XAUTHORITY, whether SIGPIPE is ignored and the
#                  blocked-signal mask, tab-separated
#   <name>.exit    (written by a test) the exit status the stub should return
stub_name=${0##*/}

stub_record() {
    [ -n "${VOP_STUB_LOG:-}" ] || return 0
    mkdir -p "$VOP_STUB_LOG"
    local IFS=$'\t' mask=0 blocked=? key value sigpipe=default
    while read -r key value; do
        [ "$key" = "SigIgn:" ] && mask=$value
        [ "$key" = "SigBlk:" ] && blocked=$value
    done </proc/$$/status
    (( 0x$mask & 0x1000 )) && sigpipe=ignored
    printf 'I3SOCK=%s\tDISPLAY=%s\tXAUTHORITY=%s\tSIGPIPE=%s\tSIGBLK=%s\n' "${I3SOCK-}" "${DISPLAY-}" \
        "${XAUTHORITY-}" "$sigpipe" "$blocked" >>"$VOP_STUB_LOG/$stub_name.env"
    # The call line comes last: a test that has seen it can read everything else of that call.
    printf '%s\n' "$*" >>"$VOP_STUB_LOG/$stub_name.calls"
}

stub_exit() {
    local status=0
    if [ -n "${VOP_STUB_LOG:-}" ] && [ -f "$VOP_STUB_LOG/$stub_name.exit" ]; then
        read -r status <"$VOP_STUB_LOG/$stub_name.exit"
    fi
    exit "$status"
}
