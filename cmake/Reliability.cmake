# Reliability builds, made by scripts/reliability with clang in a build directory of their own.
# UPDATER_SANITIZE: everything built with AddressSanitizer and UndefinedBehaviorSanitizer, any
# finding fatal. UPDATER_FUZZ: the updater's code instrumented for libFuzzer, and the extraction
# fuzzer with its seed writer (tests/reliability).
option(UPDATER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(UPDATER_FUZZ "Build the libFuzzer target for extraction (clang)" OFF)

if(UPDATER_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(UPDATER_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
# The fuzzer's inputs are a few KiB: its build reads packages and entries in small pieces, so
# that they take every path of data that spans several reads.
add_compile_definitions(UPDATER_SMALL_BUFFERS=$<BOOL:${UPDATER_FUZZ}>)
