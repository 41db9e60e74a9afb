# Every test of the build has a TIMEOUT, so that a deadlock fails the run
# instead of stalling it (tests once had none, and a hung read stalled CI).
#
# cmake -DCTEST=... -DBUILD_DIR=... -P timeouts_test.cmake
execute_process(COMMAND ${CTEST} --test-dir ${BUILD_DIR} --show-only=json-v1
                OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
if(NOT listed EQUAL 0)
  message(FATAL_ERROR "ctest --show-only failed (${listed})")
endif()
string(JSON count LENGTH ${listing} tests)
math(EXPR last "${count} - 1")
set(missing "")
foreach(i RANGE ${last})
  string(JSON name GET ${listing} tests ${i} name)
  string(JSON properties ERROR_VARIABLE none GET ${listing} tests ${i} properties)
  if(NOT properties MATCHES "\"TIMEOUT\"")
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "tests without a TIMEOUT: ${missing}")
endif()
