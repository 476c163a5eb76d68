# Dependency lookup. Packages are found through their own CMake config files, libsodium, ISA-L
# and zstd through their pkg-config files (the cross build's in the MinGW prefix). The MinGW
# cross build uses Debian's header-only libraries (spdlog, fmt, CLI11, nlohmann-json) through a
# link farm so that the host's /usr/include never enters the Windows compiler's search path.

add_library(updater_deps INTERFACE)
add_library(updater::deps ALIAS updater_deps)
add_library(updater_cli INTERFACE)
add_library(updater::cli ALIAS updater_cli)

find_package(PkgConfig REQUIRED)
pkg_check_modules(sodium REQUIRED IMPORTED_TARGET libsodium)
target_link_libraries(updater_deps INTERFACE PkgConfig::sodium)
# ISA-L: extraction inflates and computes CRC-32 with it (src/entry_data.cpp).
pkg_check_modules(isal REQUIRED IMPORTED_TARGET libisal)
target_link_libraries(updater_deps INTERFACE PkgConfig::isal)
# zstd: the patches of delta packages (src/delta_build.cpp, src/delta_pack.cpp).
pkg_check_modules(zstd REQUIRED IMPORTED_TARGET libzstd)
target_link_libraries(updater_deps INTERFACE PkgConfig::zstd)

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(farm ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${farm})
  foreach(dir spdlog fmt CLI nlohmann)
    if(NOT EXISTS ${farm}/${dir})
      file(CREATE_LINK /usr/include/${dir} ${farm}/${dir} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(updater_deps SYSTEM INTERFACE ${farm})
  target_compile_definitions(updater_deps INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY
    SPDLOG_FMT_EXTERNAL ZIP_STATIC SODIUM_STATIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00)
  target_include_directories(updater_cli SYSTEM INTERFACE ${farm})

  set(ZLIB_USE_STATIC_LIBS ON)
  find_package(ZLIB REQUIRED)
  find_package(libzip CONFIG REQUIRED)
  target_link_libraries(updater_deps INTERFACE libzip::zip ZLIB::ZLIB ole32 urlmon bcrypt rstrtmgr
    shell32 ntdll)
  # A self-contained executable: nothing but system DLLs needed at run time.
  target_link_options(updater_deps INTERFACE -static -static-libgcc -static-libstdc++)
else()
  find_package(spdlog CONFIG REQUIRED)
  find_package(fmt CONFIG REQUIRED)
  find_package(CLI11 CONFIG REQUIRED)
  # A static libzip (the fuzzing build's) names zlib's target without finding it.
  find_package(ZLIB REQUIRED)
  find_package(libzip CONFIG REQUIRED)
  find_package(CURL REQUIRED)
  find_package(OpenSSL REQUIRED)
  # spdlog and fmt header-only, as in the Windows build: two fewer shared libraries to load keeps
  # every run's resident memory down.
  find_package(Threads REQUIRED)
  target_include_directories(updater_deps INTERFACE
    $<TARGET_PROPERTY:spdlog::spdlog_header_only,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_definitions(updater_deps INTERFACE SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
  target_link_libraries(updater_deps INTERFACE fmt::fmt-header-only Threads::Threads libzip::zip
    ZLIB::ZLIB CURL::libcurl OpenSSL::Crypto)
  target_link_libraries(updater_cli INTERFACE CLI11::CLI11)
endif()
