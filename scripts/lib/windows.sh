# The Windows build: a cross build with Debian's mingw-w64 whose tests run
# under wine. Source it after common.sh (NOTARA_WINDOWS_PACKAGES lists the Debian
# packages it needs); it defines functions only. They report failures by
# their status, also where the caller tests it with || (errexit is off then).
#
#   windows_build_and_test DIR NATIVE   all of the below, in DIR
#   windows_prepare_prefix DIR          the cross build's library folder
#   windows_build DIR PREFIX            configures and builds the cross build
#   windows_check_imports DIR           the .exe files import system DLLs only
#   windows_test DIR NATIVE             unit tests, notara.exe, the client
#                                       library against NATIVE's vaxo-sim

NOTARA_TOOLCHAIN="$NOTARA_ROOT/cmake/toolchains/mingw-w64-x86_64.cmake"
NOTARA_WINE_RUN="$NOTARA_ROOT/scripts/lib/wine-run"

# DLLs that every Windows installation has; an .exe that imports anything
# else (libstdc++-6.dll, libwinpthread-1.dll, ...) would not start on a
# machine with nothing installed.
NOTARA_WINDOWS_SYSTEM_DLLS=(kernel32.dll msvcrt.dll winmm.dll ws2_32.dll mswsock.dll
  advapi32.dll user32.dll shell32.dll ole32.dll bcrypt.dll)

# Prepares DIR for the cross build's NOTARA_CROSS_PREFIX, two prefixes:
# DIR/host-headers, whose include/ holds links to the host's boost and
# nlohmann header folders and nothing else, and DIR/googletest, GoogleTest
# built for Windows from Debian's sources in /usr/src/googletest. The
# GoogleTest build is kept until Debian's googletest or the toolchain file
# changes. Prints the value for NOTARA_CROSS_PREFIX with windows_cross_prefix.
windows_prepare_prefix() {
  local dir
  mkdir -p "$1/host-headers/include" || return 1
  dir=$(cd "$1" && pwd)
  ln -sfn /usr/include/boost "$dir/host-headers/include/boost" || return 1
  ln -sfn /usr/include/nlohmann "$dir/host-headers/include/nlohmann" || return 1

  local stamp
  stamp="googletest $(dpkg-query -W -f='${Version}' googletest) $(sha256sum "$NOTARA_TOOLCHAIN" | cut -d' ' -f1)"
  if [ -f "$dir/googletest.stamp" ] && [ "$(cat "$dir/googletest.stamp")" = "$stamp" ]; then
    return 0
  fi
  log "building GoogleTest for Windows"
  rm -rf "$dir/googletest-build" "$dir/googletest" "$dir/googletest.stamp"
  cmake -S /usr/src/googletest -B "$dir/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$NOTARA_TOOLCHAIN" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$dir/googletest" -DBUILD_SHARED_LIBS=OFF >/dev/null || return 1
  cmake --build "$dir/googletest-build" -j "$(nproc)" || return 1
  cmake --install "$dir/googletest-build" >/dev/null || return 1
  printf '%s\n' "$stamp" >"$dir/googletest.stamp"
}

# The NOTARA_CROSS_PREFIX value for the folder DIR that
# windows_prepare_prefix prepared.
windows_cross_prefix() {
  local dir
  dir=$(cd "$1" && pwd) || return 1
  printf '%s;%s\n' "$dir/host-headers" "$dir/googletest"
}

# Configures and builds the Windows build in DIR against the folder PREFIX
# that windows_prepare_prefix prepared, warnings as errors.
windows_build() {
  local dir=$1 prefix
  prefix=$(windows_cross_prefix "$2") || return 1
  cmake -S "$NOTARA_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$NOTARA_TOOLCHAIN" -DNOTARA_CROSS_PREFIX="$prefix" \
    -DNOTARA_WERROR=ON >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)"
}

# Fails unless every .exe built in DIR imports only DLLs of
# NOTARA_WINDOWS_SYSTEM_DLLS (and the api-ms-win-* sets); the wine prefix's
# own programs are not ours.
windows_check_imports() {
  local dir=$1 exe dll status=0 count=0
  while IFS= read -r -d '' exe; do
    count=$((count + 1))
    while IFS= read -r dll; do
      dll=${dll,,}
      case "$dll" in api-ms-win-*) continue ;; esac
      if ! printf '%s\n' "${NOTARA_WINDOWS_SYSTEM_DLLS[@]}" | grep -qxF "$dll"; then
        echo "windows_check_imports: ${exe#"$dir"/} imports $dll, which Windows doesn't have" >&2
        status=1
      fi
    done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  done < <(find "$dir" -name '*.exe' -not -path '*/CMakeFiles/*' -not -path "$dir/wine-prefix/*" -print0)
  if [ "$count" -eq 0 ]; then
    echo "windows_check_imports: no .exe files in $dir" >&2
    return 1
  fi
  return $status
}

# notara.exe under wine, where there is no MIDI device: the heading of the
# empty device list, the warning, the "midi open" report with the cause
# that the MIDI functions give (not "unknown error"), exit status 1,
# nothing on standard output. Runs in a working directory of its own.
windows_check_notara() {
  local dir work status=0 rc=0
  dir=$(cd "$1" && pwd)
  work=$(mktemp -d "$dir/notara-check.XXXXXX") || return 1
  (cd "$work" && "$NOTARA_WINE_RUN" "$dir/src/app/notara.exe" >stdout 2>stderr) || rc=$?
  # Windows ends the lines with CR LF.
  local out err
  out=$(tr -d '\r' <"$work/stdout")
  err=$(tr -d '\r' <"$work/stderr")
  if [ "$rc" -ne 1 ]; then
    echo "windows_check_notara: exit status $rc, expected 1" >&2
    status=1
  fi
  if [ -n "$out" ]; then
    echo "windows_check_notara: unexpected standard output: $out" >&2
    status=1
  fi
  local -a lines
  mapfile -t lines <<<"$err"
  if [ "${#lines[@]}" -ne 3 ] || [ "${lines[0]}" != "Midi device list:" ] ||
    [ "${lines[1]}" != "Warning, opening first available MIDI device" ] ||
    [[ "${lines[2]}" != "midi open: "?* ]] || [[ "${lines[2]}" == *"unknown error"* ]]; then
    echo "windows_check_notara: standard error was not the empty device list, the warning and the midi open report:" >&2
    printf '%s\n' "$err" >&2
    status=1
  fi
  # With --status the page's server starts before the MIDI device is
  # opened and says where it listens; the device's absence still ends it.
  rc=0
  (cd "$work" && "$NOTARA_WINE_RUN" "$dir/src/app/notara.exe" --status 127.0.0.1:0 >stdout 2>stderr) || rc=$?
  err=$(tr -d '\r' <"$work/stderr")
  mapfile -t lines <<<"$err"
  if [ "$rc" -ne 1 ] || [ "${#lines[@]}" -ne 4 ] || [[ ! "${lines[1]}" =~ ^Status\ page:\ http://127\.0\.0\.1:[1-9][0-9]*/$ ]] ||
    [[ "${lines[3]}" != "midi open: "?* ]]; then
    echo "windows_check_notara: --status gave exit status $rc and not the status line before the midi open report:" >&2
    printf '%s\n' "$err" >&2
    status=1
  fi
  windows_check_status_document "$dir" "$work" || status=1
  [ $status -eq 0 ] && rm -rf "$work"
  return $status
}

# notara.exe waiting for a MIDI device by name that isn't there serves its
# status document; the host fetches /status.json as a page at the desk
# would, and finds no device open, no robot and the configuration read.
# $1: the build, $2: a working directory.
windows_check_status_document() {
  local dir=$1 work=$2 pid url="" i rc=0
  # No robot: a configuration of one comment.
  echo "# no robots" >"$work/notara.conf"
  (cd "$work" && exec "$NOTARA_WINE_RUN" "$dir/src/app/notara.exe" --status 127.0.0.1:0 --device "no such device" \
    >status-stdout 2>status-stderr) &
  pid=$!
  for i in $(seq 1 300); do
    url=$(tr -d '\r' 2>/dev/null <"$work/status-stderr" | sed -n 's|^Status page: \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p')
    [ -n "$url" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$url" ]; then
    echo "windows_check_notara: notara.exe --status 127.0.0.1:0 --device wrote no status line:" >&2
    tr -d '\r' <"$work/status-stderr" >&2
    rc=1
  elif ! python3 - "$url" <<'EOF_PY'
import json
import sys
import urllib.request

with urllib.request.urlopen(sys.argv[1] + "status.json", timeout=10) as reply:
    doc = json.load(reply)
problems = []
if not isinstance(doc.get("version"), str) or not doc["version"]:
    problems.append("no version")
if doc.get("midi", {}).get("state") != "gone":
    problems.append("midi is %r, not gone" % doc.get("midi"))
if doc.get("robots") != []:
    problems.append("robots are %r" % doc.get("robots"))
if doc.get("config", {}).get("file") != "notara.conf":
    problems.append("config is %r" % doc.get("config"))
if problems:
    sys.exit("windows_check_notara: /status.json of notara.exe: " + "; ".join(problems))
EOF_PY
  then
    rc=1
  fi
  # Nothing of notara.exe's to close here: ended at once.
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return $rc
}

# The Windows build's client-library test against vaxo-sim running natively
# (the program VAXO_SIM) on 127.0.0.1, on a port of its own. A subshell, so
# that its trap stops vaxo-sim however it ends, interrupted included.
windows_check_client() (
  local dir vaxo_sim work status=0 sim_pid= out line port=
  trap 'stop_pid "$sim_pid"' EXIT
  trap 'exit 130' INT TERM
  dir=$(cd "$1" && pwd)
  vaxo_sim=$(realpath "$2")
  work=$(mktemp -d "$dir/client-check.XXXXXX") || return 1
  "$vaxo_sim" --port 0 --record "$work/record" </dev/null >"$work/vaxo-sim.out" 2>&1 &
  sim_pid=$!
  # Its output as it comes, until it says where it listens; ends with it.
  exec {out}< <(tail -n +1 -f --pid="$sim_pid" "$work/vaxo-sim.out")
  while IFS= read -r -t 10 -u "$out" line; do
    if [[ $line =~ ^vaxo-sim\ listening\ on\ 127\.0\.0\.1:([0-9]+)$ ]]; then
      port=${BASH_REMATCH[1]}
      break
    fi
  done
  exec {out}<&-
  if [ -z "$port" ]; then
    echo "windows_check_client: vaxo-sim did not start; its output:" >&2
    cat "$work/vaxo-sim.out" >&2
    return 1
  fi
  NOTARA_VAXO_SIM_PORT=$port NOTARA_VAXO_SIM_RECORD="$work/record" \
    "$NOTARA_WINE_RUN" "$dir/tests/vaxo_wine_test.exe" || status=1
  stop_pid "$sim_pid"
  sim_pid=
  if [ $status -ne 0 ]; then
    echo "windows_check_client: what vaxo-sim printed:" >&2
    cat "$work/vaxo-sim.out" >&2
  else
    rm -rf "$work"
  fi
  return $status
)

# Runs the Windows build's tests in DIR under wine, in a wine prefix made
# afresh for this run: the unit tests through CTest (the toolchain's
# emulator is scripts/lib/wine-run), the notara.exe check and the client
# library against the vaxo-sim of the native build NATIVE.
windows_test() {
  local dir native status=0
  dir=$(cd "$1" && pwd)
  native=$(cd "$2" && pwd)
  export WINEPREFIX="$dir/wine-prefix"
  rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
  log "creating a wine prefix"
  "$NOTARA_WINE_RUN" --start || return 1
  log "testing $dir under wine"
  ctest --test-dir "$dir" --output-on-failure -j 2 || status=1
  log "checking notara.exe under wine"
  windows_check_notara "$dir" || status=1
  log "checking the Windows client library against a native vaxo-sim"
  windows_check_client "$dir" "$native/tools/vaxo-sim/vaxo-sim" || status=1
  "$NOTARA_WINE_RUN" --stop || true
  unset WINEPREFIX
  return $status
}

# The whole Windows build and its tests: GoogleTest for Windows in
# build/windows-deps, the cross build in DIR, its imports, and its tests
# under wine next to the native build NATIVE (whose vaxo-sim serves the
# client-library test).
windows_build_and_test() {
  local dir=$1 native=$2 prefix="$NOTARA_ROOT/build/windows-deps"
  log "building for Windows (mingw-w64)"
  windows_prepare_prefix "$prefix" || return 1
  windows_build "$dir" "$prefix" || return 1
  local status=0
  windows_check_imports "$dir" || status=1
  windows_test "$dir" "$native" || status=1
  return $status
}
