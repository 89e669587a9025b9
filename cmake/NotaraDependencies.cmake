# Third-party libraries. Boost and nlohmann-json are header-only and serve the
# native and the Windows build alike; RtMidi is the MIDI backend off Windows.
find_package(Threads REQUIRED)
find_package(Boost 1.71 REQUIRED)
find_package(nlohmann_json 3.9 REQUIRED)

if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
  pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
  pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
endif()

if(NOTARA_BUILD_TESTS OR NOTARA_BUILD_BENCH)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
