# The ThreadSanitizer pass: the tests built with NOTARA_TSAN in a build of
# their own, run against the JACK server the caller started. Source it after
# common.sh; it defines functions only.

# Left out of this pass: the tests that play MIDI through JACK and wait for
# each event's effect. Under ThreadSanitizer's slowdown the JACK clients miss
# cycles and lose events, which fails a count, not a check of the threads.
NOTARA_TSAN_EXCLUDE='^(ClockTest|OperationsTest|ServerControlTest|SourceReturnTest|ServerReturnTest|RobotLinksTest|RobotPressureTest)\.'
NOTARA_TSAN_EXCLUDE+='|^StartupTest\.(WithoutArguments|ArgumentWithoutDigits|HexadecimalDeviceNumber|EmptyConfiguration|TwoRobots|DebugLevelFromTheCommandLine)'
NOTARA_TSAN_EXCLUDE+='|^PlatformJack\.(Delivers|MidiInOpens)|^RenderEqualsLive\.'
# The status server's tests of the binary count JACK MIDI too; its threads
# are checked by status_server_test.
NOTARA_TSAN_EXCLUDE+='|^Status(Page|Metrics|Hostile)\.'
NOTARA_TSAN_EXCLUDE+='|^DeviceNameTest\.(AWholeName|ADeviceListed)'

# Builds build directory $1 with ThreadSanitizer.
tsan_build() {
  build_project "$1" -DNOTARA_WERROR=ON -DNOTARA_TSAN=ON
}

# Runs the tests of build directory $1 under ThreadSanitizer; a report fails
# the test it comes from. libjack's ring buffer orders its reads and writes
# with barriers in uninstrumented code, so its copies are suppressed.
tsan_test() {
  local dir=$1
  TSAN_OPTIONS="suppressions=$NOTARA_ROOT/tests/tsan/suppressions.txt halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    ctest --test-dir "$dir" --output-on-failure -j 2 -E "$NOTARA_TSAN_EXCLUDE"
}
