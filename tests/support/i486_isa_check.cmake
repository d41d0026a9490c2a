cmake_minimum_required(VERSION 3.20)
# Fails when 32-bit driver object code (the generic primitive build, and the code that runs
# whatever build is selected) holds an instruction that the oldest processor the generic build is
# selected for (an i486) cannot run. Run by CTest with
#   -DOBJDUMP=<objdump> -DOBJECTS=<object;...> -P i486_isa_check.cmake
# cmov/fcmov/fcomi/fucomi: P6; cmpxchg8b, rdtsc: Pentium; xmm/mm registers and the fences,
# prefetches, non-temporal and MXCSR moves: MMX/SSE.
if(NOT OBJECTS)
  message(FATAL_ERROR "no object files given")
endif()
set(forbidden "(^|[ \t])(cmov[a-z]*|fcmov[a-z]*|f(u)?comip?|cmpxchg8b|rdtsc|[lsm]fence|prefetch[a-z0-9]*|movnti|ldmxcsr|stmxcsr|emms)[ \t\n]|%x?mm[0-9]")
set(found "")
list(REMOVE_ITEM OBJECTS "")
foreach(obj IN LISTS OBJECTS)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${obj} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${obj}")
  endif()
  string(REGEX MATCHALL "[^\n]*\n" lines "${text}")
  foreach(line IN LISTS lines)
    if(line MATCHES "${forbidden}")
      string(STRIP "${line}" line)
      list(APPEND found "${obj}: ${line}")
    endif()
  endforeach()
endforeach()
list(LENGTH OBJECTS n)
if(found)
  list(LENGTH found m)
  list(SUBLIST found 0 20 shown)
  string(REPLACE ";" "\n" shown "${shown}")
  message(FATAL_ERROR "${m} instructions an i486 lacks:\n${shown}")
endif()
message(STATUS "${n} object files, no instruction beyond the i486")
