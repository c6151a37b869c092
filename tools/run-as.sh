#!/bin/sh
# Runs a command the way others run the build and the tests, to show that
# nothing in them needs more than they have:
#
#   user       as an ordinary user: the caller when that is not root; for root,
#              the throwaway user zembrol-ci (made when missing, with a home of
#              its own), with HOME, USER and LOGNAME its own and TMPDIR unset.
#              Each --give PATH is handed to that user first (chown -R).
#   container  as root in a container's default capability set (Docker's):
#              every capability outside it is dropped from the bounding set,
#              so the command and all it starts run without them.
#
# usage: tools/run-as.sh user [--give PATH]... COMMAND [ARG...]
#        tools/run-as.sh container COMMAND [ARG...]     (both as root)
set -eu
mode=${1:-}
[ $# -gt 0 ] && shift

case "$mode" in
  user)
    give=""
    while [ "${1:-}" = --give ]; do
      give="$give $2"
      shift 2
    done
    if [ "$(id -u)" != 0 ]; then
      exec "$@"
    fi
    user=zembrol-ci
    id -u "$user" >/dev/null 2>&1 || useradd --create-home --user-group --shell /bin/sh "$user"
    home=$(getent passwd "$user" | cut -d: -f6)
    for path in $give; do
      chown -R "$user:" "$path"
    done
    exec runuser -u "$user" -- env -u TMPDIR HOME="$home" USER="$user" LOGNAME="$user" "$@"
    ;;
  container)
    # Docker's default set (docker run without --cap-add or --privileged).
    keep="cap_chown cap_dac_override cap_fowner cap_fsetid cap_kill cap_setgid cap_setuid
          cap_setpcap cap_net_bind_service cap_net_raw cap_sys_chroot cap_mknod cap_audit_write
          cap_setfcap"
    drop=""
    last=$(cat /proc/sys/kernel/cap_last_cap)
    i=0
    while [ "$i" -le "$last" ]; do
      name=$(capsh --decode="$(printf '%x' $((1 << i)))" | sed 's/.*=//')
      case " $(echo $keep) " in
        *" $name "*) ;;
        *) drop="$drop,$name" ;;
      esac
      i=$((i + 1))
    done
    # capsh runs bash: "$0" "$@" hands it the command as it came.
    exec capsh --drop="${drop#,}" -- -c '"$0" "$@"' "$@"
    ;;
  *)
    echo "usage: $0 user [--give PATH]... COMMAND [ARG...] | container COMMAND [ARG...]" >&2
    exit 64
    ;;
esac
