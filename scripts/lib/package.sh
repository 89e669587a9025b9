# The packages: the Debian package and the Windows zip that CPack makes, and
# the checks of both. Source it after common.sh and windows.sh; it defines
# functions only, which report failures by their status.
#
#   package_deb DIR             native build in DIR, DIR/packages/notara_*.deb
#   package_zip DIR             Windows cross build in DIR, DIR/packages/notara-*.zip
#   package_check_deb DEB       installs DEB with apt-get and tries it
#   package_check_zip ZIP       the zip's content and notara.exe under wine

# Both builds are made like the test builds (RelWithDebInfo, warnings as
# errors), so that ccache serves them; CPack strips the programs.
package_deb() {
  local dir=$1
  cmake -S "$NOTARA_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNOTARA_WERROR=ON \
    -DNOTARA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)" >&2 || return 1
  rm -f "$dir"/packages/notara_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null) || return 1
  ls "$dir"/packages/notara_*.deb
}

package_zip() {
  local dir=$1 headers
  # Only the header links of windows_prepare_prefix: a build without tests
  # needs no GoogleTest for Windows.
  mkdir -p "$dir/host-headers/include" || return 1
  headers=$(cd "$dir/host-headers" && pwd)
  ln -sfn /usr/include/boost "$headers/include/boost" || return 1
  ln -sfn /usr/include/nlohmann "$headers/include/nlohmann" || return 1
  cmake -S "$NOTARA_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNOTARA_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$NOTARA_TOOLCHAIN" -DNOTARA_CROSS_PREFIX="$headers" \
    -DNOTARA_BUILD_TESTS=OFF >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)" >&2 || return 1
  rm -f "$dir"/packages/notara-*.zip
  (cd "$dir" && cpack -G ZIP >/dev/null) || return 1
  ls "$dir"/packages/notara-*.zip
}

# Prints what failed and returns 1 unless "$2" contains "$3"; $1 names the step.
package_expect_text() {
  case "$2" in
    *"$3"*) return 0 ;;
  esac
  printf '%s: expected "%s" in:\n%s\n' "$1" "$3" "$2" >&2
  return 1
}

# Installs DEB as a user would (apt-get install ./notara_*.deb, which
# brings in what dpkg-shlibdeps found), runs the installed notara, verifies
# the service unit, and removes the package again.
package_check_deb() {
  local deb status=0 out work rc
  deb=$(realpath "$1") || return 1
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  # A package of the same version already there would not be replaced.
  if dpkg-query -W -f='${Status}' notara 2>/dev/null | grep -q 'install ok installed'; then
    "${sudo[@]}" apt-get remove -y -qq notara >/dev/null || return 1
  fi
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null || return 1

  out=$(/usr/bin/notara --version) || status=1
  package_expect_text "notara --version" "$out" "notara $(package_version)" || status=1
  out=$(/usr/bin/notara --help) || status=1
  package_expect_text "notara --help" "$out" "--check [conffile]" || status=1
  package_expect_text "notara --help" "$out" "/usr/share/doc/notara" || status=1
  for f in /usr/bin/vaxo-sim /usr/share/man/man1/notara.1 /usr/share/man/man1/vaxo-sim.1 \
    /usr/share/doc/notara/README.md /usr/share/doc/notara/docs/configuration.md \
    /usr/share/doc/notara/examples/notara.env /usr/lib/systemd/system/notara@.service; do
    [ -e "$f" ] || { echo "package_check_deb: $f is not installed" >&2; status=1; }
  done

  # The examples check, in a folder as the service would use it; a broken
  # copy is refused with status 2.
  work=$(mktemp -d) || return 1
  cp /usr/share/doc/notara/examples/notara.conf /usr/share/doc/notara/examples/notara.vx "$work/"
  out=$(cd "$work" && /usr/bin/notara --check 2>&1) || { echo "notara --check on the examples failed:" >&2; status=1; }
  package_expect_text "notara --check" "$out" "notara.vx: found in the working directory" || status=1
  printf 'action 1 60\n' >>"$work/notara.conf"
  rc=0
  out=$(cd "$work" && /usr/bin/notara --check 2>&1) || rc=$?
  [ "$rc" -eq 2 ] || { echo "notara --check on a broken file: exit status $rc, expected 2" >&2; status=1; }
  package_expect_text "notara --check (broken)" "$out" "malformed filter: action 1 60" || status=1
  rm -rf "$work"

  # A template is verified through an instance of it.
  work=$(mktemp -d) || return 1
  cp /usr/lib/systemd/system/notara@.service "$work/notara@show.service"
  if ! out=$(systemd-analyze verify "$work/notara@show.service" 2>&1) || [ -n "$out" ]; then
    printf 'systemd-analyze verify notara@.service:\n%s\n' "$out" >&2
    status=1
  fi
  rm -rf "$work"

  "${sudo[@]}" apt-get remove -y -qq notara >/dev/null || status=1
  return $status
}

# The project's version, from the top CMakeLists.txt.
package_version() {
  sed -n 's/^project(notara VERSION \([0-9.]*\).*/\1/p' "$NOTARA_ROOT/CMakeLists.txt"
}

# The zip holds notara.exe, vaxo-sim.exe, README.txt and the examples in one
# folder, and its notara.exe runs under wine (WINEPREFIX, or wine-run's own).
package_check_zip() {
  local zip status=0 work top out f
  zip=$(realpath "$1") || return 1
  work=$(mktemp -d) || return 1
  (cd "$work" && unzip -q "$zip") || return 1
  top="$work/$(basename "$zip" .zip)"
  for f in notara.exe vaxo-sim.exe README.txt examples/notara.conf examples/notara.vx docs/configuration.md; do
    [ -f "$top/$f" ] || { echo "package_check_zip: $f is not in $(basename "$zip")" >&2; status=1; }
  done
  out=$("$NOTARA_WINE_RUN" "$top/notara.exe" --version | tr -d '\r') || status=1
  package_expect_text "notara.exe --version" "$out" "notara $(package_version)" || status=1
  out=$(cd "$top/examples" && "$NOTARA_WINE_RUN" "$top/notara.exe" --check 2>&1 | tr -d '\r') ||
    { echo "notara.exe --check on the examples failed" >&2; status=1; }
  package_expect_text "notara.exe --check" "$out" "notara.vx: found in the working directory" || status=1
  [ $status -eq 0 ] && rm -rf "$work"
  return $status
}
