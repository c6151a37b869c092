#!/bin/sh
# Underruns of "a" against aplay under CPU load, through a real-time paced
# PipeWire null sink: RUNS runs (default 3) of SECONDS (default 60) seconds
# each of a 60-second audition (44100 Hz, 16 bits, 120 bpm) and of
# `aplay --period-size=1024 --buffer-size=2048` on the same click written by
# "w", with 6 busy loops on the CPUs. An underrun is a snd_pcm_writei that
# returns -EPIPE, counted for both programs by bench/underrun_counter.c
# (LD_PRELOAD). Every trial runs once as root (real-time priority granted)
# and once as uid 65534 with no RLIMIT_RTPRIO, RLIMIT_NICE or RealtimeKit
# (real-time refused). Prints one line per trial and a Markdown table.
#
# Needs (as root) the Debian packages pipewire pipewire-bin pipewire-pulse
# wireplumber pulseaudio-utils dbus alsa-utils gcc, and PipeWire's ALSA
# plugin: pipewire-alsa if installed, else it is unpacked from
# `apt-get download pipewire-alsa` into the temporary directory.
#
# usage: bench/underruns.sh [path/to/zembrol]   (default: build/zembrol)
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
bin=$(realpath "${1:-build/zembrol}")
runs=${RUNS:-3}
seconds=${SECONDS_PER_RUN:-60}
loops=6
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
[ -x "$bin" ] || { echo "no binary at $bin: run ./build.sh test first" >&2; exit 1; }
for tool in pipewire wireplumber pipewire-pulse pactl dbus-daemon aplay cc setpriv; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done

D=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-underruns-XXXXXX")
chmod 755 "$D"
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$D"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lib=$(dirname "$(find /usr/lib -name libasound_module_pcm_pipewire.so 2>/dev/null | head -1)")
if [ "$lib" = . ]; then
  (cd "$D" && apt-get download pipewire-alsa >/dev/null && dpkg -x pipewire-alsa_*.deb pwalsa)
  lib=$(dirname "$(find "$D/pwalsa" -name libasound_module_pcm_pipewire.so | head -1)")
fi
cc -O2 -shared -fPIC -o "$D/counter.so" "$src/bench/underrun_counter.c" -ldl

export XDG_RUNTIME_DIR="$D/run" HOME="$D" XDG_CONFIG_HOME="$D/config"
export PULSE_SERVER="unix:$D/run/pulse/native" DBUS_SESSION_BUS_ADDRESS="unix:path=$D/run/bus"
mkdir -p "$D/run" "$D/config"
chmod 755 "$D/run"
wait_for() { # PATH: up to 10 s
  i=0
  while [ ! -e "$1" ]; do
    i=$((i + 1))
    [ "$i" -le 100 ] || { echo "$1 did not appear" >&2; exit 1; }
    sleep 0.1
  done
}
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile 2>"$D/dbus.log" &
pids="$pids $!"
wait_for "$D/run/bus"
pipewire >"$D/pw.log" 2>&1 &
pids="$pids $!"
wait_for "$D/run/pipewire-0"
wireplumber >"$D/wp.log" 2>&1 &
pids="$pids $!"
pipewire-pulse >"$D/pp.log" 2>&1 &
pids="$pids $!"
wait_for "$D/run/pulse/native"
pactl load-module module-null-sink sink_name=nullsink rate=44100 channels=1 >/dev/null
pactl set-default-sink nullsink
chmod 777 "$D/run/pipewire-0"

cat >"$D/alsa.conf" <<CONF
pcm_type.pipewire { lib "$lib/libasound_module_pcm_pipewire.so" }
ctl_type.pipewire { lib "$lib/libasound_module_ctl_pipewire.so" }
pcm.!default { type pipewire playback_node "-1" capture_node "-1" }
ctl.!default { type pipewire }
CONF
export ALSA_CONFIG_PATH="$D/alsa.conf"

# The click: 44100 Hz, 16 bits, 120 bpm; the WAV file holds 30 measures of 4/4.
mkdir -m 777 "$D/work"
cd "$D/work"
printf '1 1\nt 120\nb 4\nm 30\nw\n' | "$bin" >/dev/null 2>&1 || true
[ -s click.wav ] || { echo "zembrol wrote no click.wav" >&2; exit 1; }
printf '1 1\nt 120\nb 4\nal %s\na\n' "$seconds" >audition.in
chmod 644 click.wav audition.in

load=""
for _ in $(seq "$loops"); do
  sh -c 'while :; do :; done' &
  load="$load $!"
done
pids="$pids $load"

# trial USER PROGRAM: prints the underruns of one run.
trial() {
  log="$D/work/count.$$"
  rm -f "$log"
  as=""
  [ "$1" = root ] || as="setpriv --reuid=65534 --regid=65534 --clear-groups"
  run="env UNDERRUN_LOG=$log LD_PRELOAD=$D/counter.so DBUS_SYSTEM_BUS_ADDRESS=unix:path=$D/none"
  case $2 in
    zembrol) $as $run "$bin" <audition.in >/dev/null 2>"$D/err" || true ;;
    aplay) $as $run aplay -q --period-size=1024 --buffer-size=2048 click.wav >/dev/null 2>"$D/err" || true ;;
  esac
  if [ -s "$log" ]; then
    sed 's/^/    /' "$log" >&2
    awk '{n += $2} END {print n}' "$log"
  else
    echo "failed: $(head -1 "$D/err")"
  fi
}

table="| user | program | underruns in $runs runs of $seconds s, $loops busy loops |
|---|---|---|"
for user in root nobody; do
  for program in zembrol aplay; do
    counts=""
    for run in $(seq "$runs"); do
      n=$(trial "$user" "$program")
      echo "$user $program run $run: $n underruns" >&2
      counts="${counts:+$counts, }$n"
    done
    table="$table
| $user | $program | $counts |"
  done
done
echo "$table"
