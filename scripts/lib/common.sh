# Shared pieces of the project's scripts: packages, JACK, processes.
# Source it; it defines functions only.

NOTARA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the native build, the tests and the rehearsal need.
NOTARA_PACKAGES=(cmake ninja-build g++ pkg-config git procps
  librtmidi-dev libasound2-dev libjack-jackd2-dev jackd2
  libboost-dev nlohmann-json3-dev libgtest-dev googletest libbenchmark-dev
  python3-mido)

# What the test command adds for the status server's tests: a real browser
# (headless Chromium driven through Selenium) and the Prometheus client's
# parser for /metrics. They run the Debian python3.
NOTARA_STATUS_TEST_PACKAGES=(chromium chromium-driver python3-selenium python3-prometheus-client)

# What the test command adds for the Windows build (mingw-w64) and its tests
# under wine; the rehearsal doesn't need them.
NOTARA_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64)

# What the test command adds for the libFuzzer harnesses (clang and its
# runtime libraries, libFuzzer among them); the normal build needs neither.
NOTARA_FUZZ_PACKAGES=(clang libclang-rt-dev)

# What the packages and their checks add (scripts/package): dpkg-shlibdeps
# and file for CPack's Debian package, unzip for the zip, systemd-analyze
# and man (which it runs for the unit's Documentation= line).
NOTARA_PACKAGE_PACKAGES=(dpkg-dev file unzip systemd man-db)

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Installs the packages given that are not installed yet; runs apt-get
# update first, and only when something is missing.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# Configures and builds the project in build directory $1 with the extra
# CMake arguments that follow.
build_project() {
  local dir=$1
  shift
  cmake -S "$NOTARA_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# Configures build directory $1 with the CMake arguments after "--" and
# builds only the targets given before it:
#   build_targets build/x notara vaxo-sim -- -DNOTARA_BUILD_TESTS=OFF
build_targets() {
  local dir=$1
  shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    targets+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  cmake -S "$NOTARA_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
}

# True when the ALSA sequencer can be used (its device exists and we may
# read and write it).
alsa_seq_available() {
  [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]
}

# True when a JACK server answers under the name in JACK_DEFAULT_SERVER (the
# default server when unset); starts none.
jack_running() {
  JACK_NO_START_SERVER=1 jack_wait -c 2>/dev/null | grep -qx running
}

# JACK keeps its servers in a registry of eight entries in /dev/shm. A
# server that is killed (as the MIDI tests do to theirs) keeps its entry,
# and only a later server of the same name takes it back, so killed servers
# of other names fill the registry until "Too many servers already active".
# When no JACK server runs at all, every entry is such a leftover: this
# removes the registry and the server files left beside it.
clear_stale_jack_registry() {
  local uid
  uid=$(id -u)
  # A zombie jackd is a killed one whose parent has not reaped it yet.
  if ps -e -o stat=,comm= | awk '$2 == "jackd" && $1 !~ /^Z/ { found = 1 } END { exit !found }'; then
    return 0
  fi
  [ -e /dev/shm/jack-shm-registry ] || return 0
  log "no JACK server runs: removing the registry and files that killed servers left in /dev/shm"
  rm -rf /dev/shm/jack-shm-registry /dev/shm/jack-"$uid"-* /dev/shm/jack_db-"$uid" \
    /dev/shm/jack_*_"$uid"_* /dev/shm/jack_sem."$uid"_* 2>/dev/null || true
}

# Starts a JACK server with the dummy driver under the name $1 and the
# period $2 (frames); sets JACK_PID and exports JACK_DEFAULT_SERVER. Words
# after the period: "realtime" (realtime scheduling; none by default) and
# "sync" (synchronous mode; asynchronous by default).
start_jackd() {
  local name=$1 period=${2:-256} options=(-r) word
  shift 2 || shift $#
  for word in "$@"; do
    case $word in
      realtime) options[0]=-R ;;
      sync) options+=(-S) ;;
      *) echo "start_jackd: unknown option $word" >&2; return 1 ;;
    esac
  done
  clear_stale_jack_registry
  # A session of its own: Ctrl-C at the terminal must not stop the server
  # before the programs that use it; the caller stops it by JACK_PID.
  setsid jackd -n "$name" "${options[@]}" -d dummy -r 48000 -p "$period" >"${TMPDIR:-/tmp}/jackd-$name.log" 2>&1 &
  JACK_PID=$!
  export JACK_DEFAULT_SERVER=$name
  # jack_wait returns once the server answers (10 s at most); libjack's
  # complaints while it isn't up yet are not ours to show.
  if JACK_NO_START_SERVER=1 jack_wait -w -t 10 >/dev/null 2>&1 && kill -0 "$JACK_PID" 2>/dev/null; then
    return 0
  fi
  echo "jackd did not start; its log:" >&2
  cat "${TMPDIR:-/tmp}/jackd-$name.log" >&2
  return 1
}

# Stops the process whose id is $1 (TERM, then KILL after two seconds).
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  # tail --pid returns when the process has ended; timeout gives it two
  # seconds to.
  timeout 2 tail --pid="$pid" -s 0.1 -f /dev/null || kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}
