# Per-target settings shared by every target of the project: warnings and,
# when asked for, the sanitizers. Nothing here touches the global flags.
function(notara_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${NOTARA_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${NOTARA_WERROR}>:-Werror>)
  endif()
  if(MINGW)
    # libstdc++, libgcc and winpthread linked in, so that the programs run on
    # a Windows machine with nothing installed.
    target_link_options(${target} PRIVATE -static)
  endif()
  if(NOTARA_SANITIZE AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    # The sanitizers' instrumentation makes GCC's flow analysis report
    # maybe-uninitialized inside the standard library (std::regex, std::function);
    # the plain build keeps the warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    endif()
  endif()
  if(NOTARA_TSAN AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # GCC warns that Asio's handler fences (std::atomic_thread_fence) are
      # not instrumented; Asio orders handlers with its mutexes as well, so
      # the fences hide nothing from ThreadSanitizer.
      target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized -Wno-tsan)
    endif()
  endif()
  if(NOTARA_FUZZ)
    # Coverage for libFuzzer in every target; the harnesses add the
    # fuzzer's main. Sanitizers come from NOTARA_SANITIZE as usual.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()
