# Shared compile settings and target helpers.

set(KVZ_WARNINGS -Wall -Wextra)
if(KVZ_WERROR)
  list(APPEND KVZ_WARNINGS -Werror)
endif()
# Multi-character pool tags ('ClCD') are the house style of the driver.
list(APPEND KVZ_WARNINGS -Wno-multichar)

add_compile_options(-ffp-contract=off)
if(KVZ_X86)
  # Keep the 32-bit build's float results identical to the 64-bit build's: no x87 excess precision
  # outside the builds that exist to run on x87-only processors (they set their own flags).
  add_compile_options(-fno-strict-aliasing)
endif()

if(KVZ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KVZ_FUZZ)
  # Every library is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KVZ_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Ordinary C++17 code: the platform stand-in, the simulated camera, client, tools, tests.
function(kvz_host_flags target)
  target_compile_options(${target} PRIVATE ${KVZ_WARNINGS})
endfunction()

# Driver code: kernel rules, no exceptions, no RTTI. The 32-bit driver runs on every processor its
# generic primitive build is selected for, down to an i486, so it is compiled for that processor
# (no CMOV, FCOMI, CMPXCHG8B or MMX); only the primitives' vector builds ask for more.
function(kvz_driver_flags target)
  target_compile_options(${target} PRIVATE ${KVZ_WARNINGS} -fno-exceptions -fno-rtti)
  if(KVZ_X86)
    target_compile_options(${target} PRIVATE -march=i486 -mtune=generic)
  endif()
endfunction()

# A GoogleTest binary registered with CTest under one label.
#   kvz_add_gtest(<target> LABEL <label> SOURCES ... [LIBS ...] [QEMU_CPUS model...])
# On the 32-bit build the binary runs under qemu-i386; QEMU_CPUS registers one extra
# run per processor model so detection sees real identification data.
function(kvz_add_gtest target)
  cmake_parse_arguments(A "" "LABEL" "SOURCES;LIBS;QEMU_CPUS" ${ARGN})
  add_executable(${target} ${A_SOURCES})
  target_link_libraries(${target} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock kvz_test_main)
  kvz_host_flags(${target})
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS ${A_LABEL})
  if(KVZ_X86)
    foreach(cpu IN LISTS A_QEMU_CPUS)
      add_test(NAME ${target}.cpu-${cpu} COMMAND qemu-i386 -cpu ${cpu} $<TARGET_FILE:${target}>)
      set_tests_properties(${target}.cpu-${cpu} PROPERTIES LABELS ${A_LABEL})
    endforeach()
  endif()
endfunction()

# Processor models under which detection on the 32-bit build selects slots 0 to 4: a Pentium II
# (MMX, no SSE), a Pentium III (SSE), a family-15 model with SSE2 only, a Core Duo (SSE3) and a
# Core 2 (SSSE3).
set(KVZ_QEMU_BUILD_MODELS pentium2 pentium3 "qemu32,family=15,model=2,stepping=9,+sse,+sse2,-sse3"
  coreduo core2duo)

# kvz_add_build_model_runs(<test target> LABELS <label>...): on the 32-bit build, one more run of
# the test per slot, <target>.slot<n>, under the model that selects it, with KVZ_EXPECTED_SLOT=<n>.
function(kvz_add_build_model_runs target)
  cmake_parse_arguments(A "" "" "LABELS" ${ARGN})
  if(NOT KVZ_X86)
    return()
  endif()
  set(slot 0)
  foreach(model IN LISTS KVZ_QEMU_BUILD_MODELS)
    add_test(NAME ${target}.slot${slot} COMMAND qemu-i386 -cpu ${model} $<TARGET_FILE:${target}>)
    set_tests_properties(${target}.slot${slot} PROPERTIES LABELS "${A_LABELS}"
      ENVIRONMENT KVZ_EXPECTED_SLOT=${slot})
    math(EXPR slot "${slot} + 1")
  endforeach()
endfunction()

# One library per folder, from every .cpp directly in it (new files need no CMake edit).
#   kvz_folder_library(<target> DRIVER|HOST [INCLUDE_PUBLIC dir...] [DEPS target...])
function(kvz_folder_library target kind)
  cmake_parse_arguments(A "" "" "INCLUDE_PUBLIC;DEPS;SUBDIRS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(sub IN LISTS A_SUBDIRS)
    file(GLOB sub_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp)
    list(APPEND srcs ${sub_srcs})
  endforeach()
  if(NOT A_INCLUDE_PUBLIC)
    set(A_INCLUDE_PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${A_INCLUDE_PUBLIC})
    target_link_libraries(${target} PUBLIC ${A_DEPS})
    if(kind STREQUAL "DRIVER")
      kvz_driver_flags(${target})
    else()
      kvz_host_flags(${target})
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${A_INCLUDE_PUBLIC})
    target_link_libraries(${target} INTERFACE ${A_DEPS})
  endif()
endfunction()

# Every <name>_test.cpp in the calling folder becomes its own test binary <prefix>_<name>_test,
# so a new test file needs no CMake edit and one broken file does not stop the others building.
#   kvz_glob_gtests(PREFIX <p> LABEL <label> LIBS ... [HELPERS file...])
# A variable KVZ_QEMU_CPUS_<name> set before the call lists extra qemu-i386 -cpu runs.
function(kvz_glob_gtests)
  cmake_parse_arguments(A "" "PREFIX;LABEL" "LIBS;HELPERS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  set(libs ${A_LIBS})
  if(A_HELPERS)
    # Shared test helpers are compiled once per folder, not once per test binary.
    add_library(${A_PREFIX}_test_support OBJECT ${A_HELPERS})
    target_link_libraries(${A_PREFIX}_test_support PUBLIC ${A_LIBS} GTest::gtest GTest::gmock kvz_test_main)
    target_include_directories(${A_PREFIX}_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    kvz_host_flags(${A_PREFIX}_test_support)
    set(libs ${A_PREFIX}_test_support ${A_LIBS})
  endif()
  foreach(t IN LISTS tests)
    get_filename_component(name ${t} NAME_WE)
    string(REGEX REPLACE "_test$" "" stem ${name})
    kvz_add_gtest(${A_PREFIX}_${name} LABEL ${A_LABEL} SOURCES ${t}
      LIBS ${libs} QEMU_CPUS ${KVZ_QEMU_CPUS_${stem}})
  endforeach()
endfunction()
