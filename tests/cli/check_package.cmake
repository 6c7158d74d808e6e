# Makes the Windows download the way a release makes it (the package
# target) and checks what a modder unpacks: exactly the EXPECTED files, the
# MANUAL among them a text file Notepad shows as it should, and every .exe
# and .dll needing only Windows' DLLs and those it ships (check_imports.cmake
# on the unpacked folder, with OBJDUMP).
#   cmake -DBUILD_DIR=<dir> -DZIP=<file> -DEXPECTED=<paths> -DMANUAL=<path> -DOBJDUMP=<objdump>
#         -P check_package.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE "${ZIP}")
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target package
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${ZIP}")
  message(FATAL_ERROR "The package target made no ${ZIP}:\n${output}")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${ZIP}" OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${ZIP} cannot be read as a zip")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")
list(FILTER listing EXCLUDE REGEX "/$")  # the directory itself
list(SORT listing)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT listing STREQUAL expected)
  message(FATAL_ERROR "${ZIP} holds\n  ${listing}\nnot\n  ${expected}")
endif()

set(unpacked "${BUILD_DIR}/package-check")
file(REMOVE_RECURSE "${unpacked}")
file(MAKE_DIRECTORY "${unpacked}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${ZIP}" WORKING_DIRECTORY "${unpacked}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${ZIP} cannot be unpacked")
endif()
# Laid out, not roff, with no overstruck letters; every line ended by CR LF
# (looked for in the bytes: a text read takes CR LF for a line end).
file(READ "${unpacked}/${MANUAL}" manual)
file(READ "${unpacked}/${MANUAL}" bytes HEX)
get_filename_component(program_folder "${unpacked}/${MANUAL}" DIRECTORY)
execute_process(COMMAND "${CMAKE_COMMAND}" -DOBJDUMP=${OBJDUMP} -DDIRECTORY=${program_folder}
                        -P "${CMAKE_CURRENT_LIST_DIR}/check_imports.cmake"
                OUTPUT_VARIABLE imports ERROR_VARIABLE imports RESULT_VARIABLE result)
file(REMOVE_RECURSE "${unpacked}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${ZIP} ships programs that would not start on a bare Windows:\n${imports}")
endif()
message(STATUS "${imports}")
string(ASCII 8 backspace)
string(FIND "${manual}" "${backspace}" overstruck)
string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
string(REPLACE "0d 0a " "" bytes "${bytes}")
if(NOT manual MATCHES "\nSYNOPSIS\n" OR manual MATCHES "\\.TH " OR NOT overstruck EQUAL -1
   OR bytes MATCHES "(^| )(0a|0d) ")
  message(FATAL_ERROR "${MANUAL} in ${ZIP} is not the manual laid out as a Windows text file")
endif()
message(STATUS "${ZIP}: ${listing}")
