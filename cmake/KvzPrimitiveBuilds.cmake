# Processor builds of the primitives. Every source in a folder's perbuild/ is compiled once
# per build into the namespace kvz::prim::<build>, so a build calls its siblings directly and
# any build can be named from outside (kvz::prim::ssse3::CopyImage8u...).
#   kvz64 (x86-64): generic, sse3, ssse3           slots 0..2
#   kvz   (x86):    generic, sse, sse2, sse3, ssse3 slots 0..4
if(KVZ_X86)
  set(KVZ_PRIM_BUILDS generic sse sse2 sse3 ssse3)
else()
  set(KVZ_PRIM_BUILDS generic sse3 ssse3)
endif()

function(kvz_primitive_build_flags out build)
  # The generic build is the scalar reference: no auto-vectorisation, no library calls
  # substituted for loops.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # clang (fuzz and tsan presets) spells the same request differently.
    set(scalar -fno-vectorize -fno-slp-vectorize)
  else()
    set(scalar -fno-tree-vectorize -fno-tree-loop-distribute-patterns)
  endif()
  # The x87 builds round every float variable to its declared width (-ffloat-store) so that
  # single-precision results match the SSE builds'.
  if(build STREQUAL "generic")
    if(KVZ_X86)
      # Selected for every processor below the SSE build, down to an i486 (GenuineIntel family 4
      # has no code of its own and falls to the generic slot): no CMOV, FCOMI, CMPXCHG8B or MMX.
      set(f ${scalar} -march=i486 -mno-sse -ffloat-store)
    else()
      set(f ${scalar})
    endif()
    set(isa 0)
  elseif(build STREQUAL "sse")
    # SSE has no integer vectors: here only the 16-byte loads and stores of the copies and fills
    # (vector_ops, region_copy, row_kernels) and the float arithmetic of complex multiply are
    # vector code; every primitive that needs integer vector arithmetic or byte shuffles (mirror,
    # colour conversion, resize, the conversions and splits' arithmetic, scaled multiply,
    # reciprocal division, the JPEG primitives) is the portable code by design.
    set(f ${scalar} -march=pentium3 -msse -mno-sse2 -ffloat-store)
    set(isa 1)
  elseif(build STREQUAL "sse2")
    set(f -msse2 -mno-sse3 -mfpmath=sse)
    set(isa 2)
  elseif(build STREQUAL "sse3")
    set(f -msse3 -mno-ssse3 -mfpmath=sse)
    set(isa 3)
  elseif(build STREQUAL "ssse3")
    set(f -mssse3 -mno-sse4.1 -mfpmath=sse)
    set(isa 4)
  endif()
  string(SUBSTRING ${build} 0 1 first)
  string(TOUPPER ${first} first)
  string(SUBSTRING ${build} 1 -1 rest)
  list(APPEND f -DKVZ_BUILD_NS=${build} -DKVZ_BUILD_NAME="${build}" -DKVZ_BUILD_SUFFIX=${first}${rest} -DKVZ_BUILD_ISA=${isa})
  set(${out} ${f} PARENT_SCOPE)
endfunction()

# kvz_add_primitive_builds(<target> [definition...]): add every build of ./perbuild/*.cpp (or of
# ${KVZ_PERBUILD_DIR}/*.cpp when the caller sets it) to <target>, compiled with the given
# preprocessor definitions.
function(kvz_add_primitive_builds target)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR}/perbuild)
  if(KVZ_PERBUILD_DIR)
    set(dir ${KVZ_PERBUILD_DIR})
  endif()
  file(GLOB perbuild CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT perbuild)
    return()
  endif()
  foreach(build IN LISTS KVZ_PRIM_BUILDS)
    set(obj ${target}_${build})
    add_library(${obj} OBJECT ${perbuild})
    kvz_primitive_build_flags(flags ${build})
    target_compile_options(${obj} PRIVATE ${KVZ_WARNINGS} -fno-exceptions -fno-rtti ${flags})
    target_compile_definitions(${obj} PRIVATE ${ARGN})
    target_include_directories(${obj} PRIVATE ${PROJECT_SOURCE_DIR} $<TARGET_PROPERTY:kvz_kernel,INTERFACE_INCLUDE_DIRECTORIES>)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${obj}>)
  endforeach()
endfunction()

# kvz_primitives_library(<target> DEPS <lib>... [COUNTED_DEPS <lib>...])
# The folder's library: ./*.cpp and every build of ./perbuild/*.cpp. When tests are built, also
# <target>_counted, the same code compiled with KVZ_TEST_HOOKS (primitives/path_counts.h) and
# linked against COUNTED_DEPS: the tests link it to see which vector paths ran, the driver links
# <target>, which holds no counters.
function(kvz_primitives_library target)
  cmake_parse_arguments(A "" "" "DEPS;COUNTED_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(variants ${target})
  if(KVZ_BUILD_TESTS)
    list(APPEND variants ${target}_counted)
  endif()
  foreach(lib IN LISTS variants)
    add_library(${lib} STATIC ${srcs} ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
    target_include_directories(${lib} PUBLIC ${PROJECT_SOURCE_DIR})
    # On x86 for the i486, as all driver code: detection, selection and dispatch run before any
    # build is chosen, and the shared code (resize plans, the portable Huffman decoder) in every slot.
    kvz_driver_flags(${lib})
    if(lib STREQUAL target)
      target_link_libraries(${lib} PUBLIC ${A_DEPS})
      kvz_add_primitive_builds(${lib})
    else()
      target_link_libraries(${lib} PUBLIC ${A_COUNTED_DEPS})
      target_compile_definitions(${lib} PUBLIC KVZ_TEST_HOOKS)
      kvz_add_primitive_builds(${lib} KVZ_TEST_HOOKS)
    endif()
  endforeach()
endfunction()
