# kiv_shared_library(<target> HEADER <public header> SOURCES ...)
# One of our shared libraries for the board: its include/ folder public, only
# the functions marked for export visible, our warnings, and installed with
# its header (library to lib in the component gatewayd, the program's
# packages; header to include in the component headers). Installed, it finds
# the runtime a package carries in KIV_PRIVATE_RUNTIME_DIR.
function(kiv_shared_library target)
  cmake_parse_arguments(L "" "HEADER" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${L_SOURCES})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES
    PUBLIC_HEADER ${L_HEADER}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "${KIV_PRIVATE_RUNTIME_DIR}")
  kiv_warnings(${target})
  install(TARGETS ${target}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT gatewayd
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT headers)
endfunction()

# kiv_smallest_code(<target>...): the deliverables' code as small as the
# compiler makes it in MinSizeRel.
# - Every function and object in a section of its own, and the linker drops
#   the sections nothing refers to (zig's driver asks for that already).
# - Zig's clang (the musl build) takes -Oz only from its compiler proper: the
#   driver turns -Oz into -Os, which on MIPS leaves the code about a sixth
#   larger. GCC's -Os is its smallest already.
# - Clang merges functions whose code is the same (instances of a template
#   for different types often are): GCC's -Os does so already (-fipa-icf),
#   and zig's driver refuses lld's --icf. About 5% of the SDK.
# - Clang writes unwinding tables for every function on MIPS unless told
#   otherwise; an exception never passes through one that cannot throw, and
#   those need none (GCC leaves them out already). About 4% of the SDK.
# - Clang's -Oz inlines only calls that cost it almost nothing (threshold
#   5), so each of libc++'s small wrappers (an allocator's allocate, a
#   deleter, a unique_ptr's destructor) stays a function of its own, with
#   the MIPS PIC prologue that sets up $gp. At 25 those go inline: the SDK
#   is 2% smaller, gatewayd 6%. At 26 std::string's copy constructor starts
#   to be inlined at every copy and the SDK grows by 7% (the clang 19 of zig
#   0.14; tools/footprint.sh shows it when another compiler moves this).
function(kiv_smallest_code)
  foreach(target ${ARGN})
    target_compile_options(${target} PRIVATE
      "$<$<CONFIG:MinSizeRel>:-ffunction-sections;-fdata-sections>")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE "$<$<CONFIG:MinSizeRel>:LINKER:--gc-sections>")
    endif()
    if(KIV_MUSL_STACK)
      target_compile_options(${target} PRIVATE
        "$<$<CONFIG:MinSizeRel>:SHELL:-Xclang -Oz>"
        "$<$<CONFIG:MinSizeRel>:SHELL:-Xclang -fmerge-functions>"
        "$<$<CONFIG:MinSizeRel>:SHELL:-mllvm -inline-threshold=25>"
        "$<$<CONFIG:MinSizeRel>:-fno-unwind-tables;-fno-asynchronous-unwind-tables>")
    endif()
  endforeach()
endfunction()

# kiv_one_unit(<target>...): the target's sources compiled as one unit, in
# every build type (so that a name two files both keep to themselves fails
# at once, not only in the router builds). The compiler then sees all of a
# library at once, as link-time optimisation would (which zig's driver cannot
# do for MIPS): the templates both files use are made once and merged where
# they are the same.
function(kiv_one_unit)
  set_target_properties(${ARGN} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
endfunction()

# kiv_without_exceptions_or_rtti(<target> KEEP <source>...): the target built
# without exceptions (no landing pads and no exception tables, a sixth of the
# SDK's size on MIPS) and without run-time type information (nothing asks a
# type's name or casts down; each class with virtual functions would carry
# its type's record and name). What its code could throw is running out of memory or a
# broken invariant, which ends the process (the service manager restarts it;
# the records journal keeps what was held). The sources under KEEP keep
# exceptions, each compiled on its own: the places that catch what a user's
# handler throws, and the checks that report bad settings by throwing. An
# exception must never unwind through a function compiled without them, so
# code outside KEEP neither throws nor calls a user's handler directly.
function(kiv_without_exceptions_or_rtti target)
  cmake_parse_arguments(E "" "" "KEEP" ${ARGN})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  set_source_files_properties(${E_KEEP} TARGET_DIRECTORY ${target} PROPERTIES
    COMPILE_OPTIONS "-fexceptions;-frtti" SKIP_UNITY_BUILD_INCLUSION ON)
endfunction()
