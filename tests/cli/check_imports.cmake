# Fails when a Windows program or DLL imports a DLL that neither Windows
# itself ships nor the download puts beside the program: what is handed to
# modders must start on a bare system, where no compiler's or library's DLL
# was ever installed.
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<file.exe> -P check_imports.cmake
#     the program alone: it may import Windows' DLLs only
#   cmake -DOBJDUMP=<objdump> -DDIRECTORY=<dir> -P check_imports.cmake
#     every .exe and .dll under the folder (an unpacked download): each may
#     import Windows' DLLs and the DLLs that lie in the folder itself, where
#     Windows finds them beside the program
# DLL names are compared in lower case, as Windows finds them in either.
# Each of these is in System32 of every Windows since 10.
cmake_minimum_required(VERSION 3.25)
set(system_dlls
  kernel32.dll msvcrt.dll shell32.dll   # what qaxtool.exe imports now
  advapi32.dll bcrypt.dll gdi32.dll ntdll.dll ole32.dll oleaut32.dll user32.dll ws2_32.dll
  # and what Qt's DLLs and plugins import
  comdlg32.dll d3d9.dll dwmapi.dll imm32.dll mpr.dll netapi32.dll shcore.dll shlwapi.dll
  userenv.dll uxtheme.dll version.dll winmm.dll wtsapi32.dll authz.dll dxgi.dll d3d11.dll
  # API sets, which the loader resolves to System32's own DLLs (Windows 8 on)
  api-ms-win-core-synch-l1-2-0.dll api-ms-win-core-winrt-l1-1-0.dll api-ms-win-core-winrt-string-l1-1-0.dll
)

if(PROGRAM)
  set(programs "${PROGRAM}")
  set(shipped)
elseif(DIRECTORY)
  file(GLOB_RECURSE programs "${DIRECTORY}/*.exe" "${DIRECTORY}/*.dll")
  file(GLOB shipped RELATIVE "${DIRECTORY}" "${DIRECTORY}/*.dll")
  list(TRANSFORM shipped TOLOWER)
  if(NOT programs)
    message(FATAL_ERROR "${DIRECTORY} holds no .exe or .dll")
  endif()
else()
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DPROGRAM=<file> | -DDIRECTORY=<dir> -P check_imports.cmake")
endif()

set(failures)
foreach(program IN LISTS programs)
  execute_process(COMMAND "${OBJDUMP}" -p "${program}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(APPEND failures "${OBJDUMP} could not read ${program}")
    continue()
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  if(NOT imports)
    list(APPEND failures "${program} shows no import table")
    continue()
  endif()
  set(strangers)
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll_lower)
    if(NOT dll_lower IN_LIST system_dlls AND NOT dll_lower IN_LIST shipped)
      list(APPEND strangers "${dll}")
    endif()
  endforeach()
  string(REPLACE "DLL Name: " "" imports "${imports}")
  list(JOIN imports ", " imports)
  if(strangers)
    list(JOIN strangers ", " strangers)
    list(APPEND failures "${program} needs DLLs that neither Windows nor the download ships: ${strangers}")
  else()
    message(STATUS "${program}: ${imports}")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n" failures)
  message(FATAL_ERROR "${failures}")
endif()
