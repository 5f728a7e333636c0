# Linker rules for zig's driver (cmake/toolchain-mipsel-musl.cmake): linker
# options as -Wl,…, no -rpath-link (the root's libraries are found through
# -L instead).
foreach(language C CXX)
  set(CMAKE_${language}_LINKER_WRAPPER_FLAG "-Wl,")
  set(CMAKE_${language}_LINKER_WRAPPER_FLAG_SEP ",")
  set(CMAKE_SHARED_LIBRARY_RPATH_LINK_${language}_FLAG "")
endforeach()
