# cmake -DLIBRARY=path/to/libQuelbyCloud.so -P CheckExports.cmake
# Fails unless the dynamic symbol table defines exactly the four entry points.
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

string(REPLACE "\n" ";" lines "${symbols}")
set(exported "")
foreach(line ${lines})
  # "address type name": only code and data symbols count (not version nodes).
  if(line MATCHES "^[0-9a-fA-F]+ [TtDdBbRrWwVviu] (.+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)

set(expected KestrumPluginFinalize KestrumPluginGetName KestrumPluginGetVersion KestrumPluginInitialize)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "Exported symbols: '${exported}', expected: '${expected}'")
endif()
message(STATUS "Exactly the four entry points are exported")
