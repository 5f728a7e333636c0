# The helpers of the musl build's programs (soft float, 64-bit division):
# zig's compiler_rt with hidden symbols, linked instead of zig's own copy.
#
# Zig's driver links its whole compiler_rt, built with default visibility,
# into every module that calls one of its helpers. A program exports what it
# defines that a shared library defines too (the C library's math and memory
# functions are in compiler_rt), and with ENABLE_EXPORTS everything, and the
# linker keeps whatever is exported: most of compiler_rt ends up in each
# program. The driver passes neither a version script nor an export list for
# a program, so programs link without zig's copy (-rtlib=none) and take the
# helpers from one built here whose symbols are hidden: the linker keeps only
# the helpers the program calls and exports none of them. Shared libraries
# keep zig's copy; their version script (local-symbols.map) hides it.
#
# The zig, target and CPU are the ones the stack's compiler command runs.
file(STRINGS "${KIV_MUSL_STACK}/bin/mipsel-musl-cc" kiv_zig_command REGEX " exec ")
if(NOT kiv_zig_command MATCHES " exec ([^ ]+) cc -target ([^ ]+) -mcpu=([^ ]+) ")
  message(FATAL_ERROR "No zig command in ${KIV_MUSL_STACK}/bin/mipsel-musl-cc")
endif()
set(kiv_zig "${CMAKE_MATCH_1}")
set(kiv_zig_target "${CMAKE_MATCH_2}")
set(kiv_zig_cpu "${CMAKE_MATCH_3}")
get_filename_component(kiv_zig_lib "${kiv_zig}" DIRECTORY)
set(kiv_zig_lib "${kiv_zig_lib}/lib")

set(kiv_builtins_dir "${CMAKE_BINARY_DIR}/musl-builtins")
set(kiv_builtins "${kiv_builtins_dir}/libkiv_compiler_rt.a")
set(kiv_builtins_recipe "${kiv_zig} ${kiv_zig_target} ${kiv_zig_cpu}")
if(EXISTS "${kiv_builtins_dir}/recipe")
  file(READ "${kiv_builtins_dir}/recipe" kiv_builtins_built)
else()
  set(kiv_builtins_built "")
endif()

if(NOT EXISTS "${kiv_builtins}" OR NOT kiv_builtins_built STREQUAL kiv_builtins_recipe)
  message(STATUS "Building compiler_rt with hidden symbols for the programs")
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  file(REMOVE_RECURSE "${kiv_builtins_dir}")
  file(MAKE_DIRECTORY "${kiv_builtins_dir}")
  set(kiv_object "${kiv_builtins_dir}/compiler_rt.o")
  # Position-independent like the rest of the build; a section per function
  # so that the linker can drop what a program does not call.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env
      "ZIG_GLOBAL_CACHE_DIR=${kiv_builtins_dir}/cache" "ZIG_LOCAL_CACHE_DIR=${kiv_builtins_dir}/cache"
      "${kiv_zig}" build-obj "${kiv_zig_lib}/compiler_rt.zig"
      -target "${kiv_zig_target}" "-mcpu=${kiv_zig_cpu}" -OReleaseSmall
      -fPIC -ffunction-sections -fdata-sections --name compiler_rt "-femit-bin=${kiv_object}"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/elf-hide-symbols.py" "${kiv_object}"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CMAKE_AR}" rcs "${kiv_builtins}" "${kiv_object}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${kiv_builtins_dir}/cache")
  file(WRITE "${kiv_builtins_dir}/recipe" "${kiv_builtins_recipe}")
endif()

add_link_options("$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-rtlib=none;${kiv_builtins}>")
