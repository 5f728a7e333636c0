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
# compiler makes it in MinSizeRel. Zig's clang (the musl build) takes -Oz
# only from its compiler proper: the driver turns -Oz into -Os, which on MIPS
# leaves the code about a sixth larger. GCC's -Os is its smallest already.
function(kiv_smallest_code)
  if(KIV_MUSL_STACK)
    foreach(target ${ARGN})
      target_compile_options(${target} PRIVATE "$<$<CONFIG:MinSizeRel>:SHELL:-Xclang -Oz>")
    endforeach()
  endif()
endfunction()
