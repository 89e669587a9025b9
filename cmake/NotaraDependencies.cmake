# Third-party libraries. Boost and nlohmann-json are header-only and serve the
# native and the Windows build alike; RtMidi is the MIDI backend off Windows.
find_package(Threads REQUIRED)
find_package(Boost 1.71 REQUIRED)
if(CMAKE_CROSSCOMPILING)
  # The host's package file would add the host's whole include folder; the
  # cross build reaches the headers through its own folder of links.
  find_path(NOTARA_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp REQUIRED)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${NOTARA_NLOHMANN_JSON_INCLUDE_DIR}")
else()
  find_package(nlohmann_json 3.9 REQUIRED)
endif()

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
