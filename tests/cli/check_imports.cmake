# Fails when a Windows program imports a DLL that Windows itself does not
# ship: a program handed to modders must start on a bare system, where no
# compiler's or library's DLL was ever installed.
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<file.exe> -P check_imports.cmake
# DLL names are compared in lower case, as Windows finds them in either.
# Each of these is in System32 of every Windows since 7.
cmake_minimum_required(VERSION 3.25)
set(system_dlls
  kernel32.dll msvcrt.dll shell32.dll   # what qaxtool.exe imports now
  advapi32.dll bcrypt.dll gdi32.dll ntdll.dll ole32.dll oleaut32.dll user32.dll ws2_32.dll
)
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "${PROGRAM} shows no import table")
endif()
set(strangers)
foreach(import IN LISTS imports)
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower IN_LIST system_dlls)
    list(APPEND strangers "${dll}")
  endif()
endforeach()
if(strangers)
  list(JOIN strangers ", " strangers)
  message(FATAL_ERROR "${PROGRAM} needs DLLs that Windows does not ship: ${strangers}")
endif()
list(JOIN imports "; " imports)
message(STATUS "${PROGRAM}: ${imports}")
