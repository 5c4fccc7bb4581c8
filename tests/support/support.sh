# shellcheck shell=bash
# Helpers for the shell scripts of the tests and the build, sourced by them.
# They set no shell options: each script keeps its own.

# fail MESSAGE...: says MESSAGE on stderr after $fail_prefix ("FAILED: " unless
# the caller sets it), runs the caller's on_failure if it has one (to show
# what helps to find out why), and exits with status 1. on_failure's own
# failures are ignored, under errexit too: whatever it cannot show, the exit
# is still this one.
fail() {
    echo "${fail_prefix-FAILED: }$*" >&2
    if declare -F on_failure >/dev/null; then
        on_failure || true
    fi
    exit 1
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds;
# returns 1 once SECONDS have passed without that.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
