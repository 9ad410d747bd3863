# Sourced by the CI scripts that install Debian packages.
#
# A Debian mirror can be caught mid-sync: one index file has the wrong size
# and `apt-get update` exits 100 although every other list was fetched. A
# clean CI machine must ride that out, not fail the run. So the update is
# retried with growing pauses, and if it still reports a failure the install
# is tried anyway with whatever lists did arrive; only an install that cannot
# find or fetch its packages fails the step. Each download is retried too.

export DEBIAN_FRONTEND=noninteractive
ci_apt_options=(-q -o Acquire::Retries=5 -o Acquire::http::Timeout=60)

ci_apt_update() {
    local attempt pause=10
    for attempt in 1 2 3; do
        if apt-get "${ci_apt_options[@]}" update; then
            return 0
        fi
        if [ "$attempt" -lt 3 ]; then
            echo "apt-get update failed (attempt $attempt of 3), again in ${pause} s"
            sleep "$pause"
            pause=$((pause * 2))
        fi
    done
    echo "apt-get update still reports a failure; installing from the lists that arrived"
    return 0
}

ci_apt_install() {
    local attempt
    for attempt in 1 2 3; do
        if apt-get "${ci_apt_options[@]}" install -y --no-install-recommends "$@"; then
            return 0
        fi
        echo "apt-get install failed (attempt $attempt of 3)"
        [ "$attempt" -lt 3 ] && { sleep 20; ci_apt_update; }
    done
    return 1
}
