# kiv_add_fuzzer(<name> SOURCES ... LIBS ... CORPUS <folder>...)
# A fuzz target: SOURCES define LLVMFuzzerTestOneInput. With KIV_FUZZ (the
# fuzz preset, clang) it becomes a libFuzzer program, part of kiv_fuzzers and
# listed in fuzz-targets.txt for tools/run-fuzz.sh, which seeds it from the
# CORPUS folders and from fuzz/regressions/<name>. Otherwise it is linked
# with our replay driver, and CTest feeds it those same inputs (FuzzReplay.<name>),
# so every input that once crashed is tried again in every preset.
set(KIV_FUZZ_REGRESSIONS ${PROJECT_SOURCE_DIR}/fuzz/regressions)

function(kiv_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;CORPUS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  kiv_warnings(${name})
  set(inputs ${F_CORPUS})
  if(EXISTS ${KIV_FUZZ_REGRESSIONS}/${name})
    list(APPEND inputs ${KIV_FUZZ_REGRESSIONS}/${name})
  endif()
  if(KIV_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(kiv_fuzzers ${name})
    list(JOIN inputs " " folders)
    set_property(GLOBAL APPEND_STRING PROPERTY KIV_FUZZ_MANIFEST
                 "${name} $<TARGET_FILE:${name}> ${folders}\n")
  else()
    # The replay driver is compiled once for every target.
    if(NOT TARGET kiv_fuzz_replay)
      add_library(kiv_fuzz_replay OBJECT ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
      kiv_warnings(kiv_fuzz_replay)
    endif()
    target_link_libraries(${name} PRIVATE kiv_fuzz_replay)
    add_test(NAME FuzzReplay.${name} COMMAND ${name} ${inputs})
    set_tests_properties(FuzzReplay.${name} PROPERTIES LABELS "fuzz;unit")
  endif()
endfunction()

# Writes fuzz-targets.txt into the build folder: one line per target, "name
# program input-folder..." (its CORPUS folders, then its regressions folder
# when there is one; paths without blanks).
function(kiv_write_fuzz_manifest)
  if(KIV_FUZZ)
    get_property(manifest GLOBAL PROPERTY KIV_FUZZ_MANIFEST)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-targets.txt CONTENT "${manifest}")
  endif()
endfunction()
