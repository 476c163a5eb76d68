# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The libraries scripts/bootstrap builds for this target are installed in $UPDATER_DEPS_DIR/mingw.
# As in that script: build/deps by default, and a relative directory is taken from the checkout.
if("$ENV{UPDATER_DEPS_DIR}" STREQUAL "")
  set(updater_deps_dir build/deps)
else()
  set(updater_deps_dir "$ENV{UPDATER_DEPS_DIR}")
endif()
get_filename_component(updater_deps_dir "${updater_deps_dir}" ABSOLUTE
  BASE_DIR "${CMAKE_CURRENT_LIST_DIR}/..")
list(APPEND CMAKE_PREFIX_PATH "${updater_deps_dir}/mingw")
# Libraries found through pkg-config files (libsodium): the cross prefix's only, never the host's.
# The prefix is a find root too, so that the libraries those files name are looked for in place.
set(ENV{PKG_CONFIG_LIBDIR} "${updater_deps_dir}/mingw/lib/pkgconfig")
list(APPEND CMAKE_FIND_ROOT_PATH "${updater_deps_dir}/mingw")
