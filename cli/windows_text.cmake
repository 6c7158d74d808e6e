# A text file for Windows: INPUT (a manual page when GROFF is given, laid out
# as plain ASCII text 80 columns wide), after PREFACE when one is given,
# written to OUTPUT with CR LF line ends.
#   cmake [-DGROFF=<groff>] [-DPREFACE=<file>] -DINPUT=<file> -DOUTPUT=<file> -P windows_text.cmake
cmake_minimum_required(VERSION 3.25)
if(GROFF)
  # -Tascii: no character Notepad could show wrongly; -P-cbou: no
  # overstriking for bold or underlined words, which a text file shows as
  # doubled letters.
  execute_process(COMMAND "${GROFF}" -man -Tascii -P-cbou "${INPUT}"
                  OUTPUT_VARIABLE text ERROR_VARIABLE problems RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR problems)
    message(FATAL_ERROR "groff could not lay out ${INPUT}: ${problems}")
  endif()
else()
  file(READ "${INPUT}" text)
endif()
if(PREFACE)
  file(READ "${PREFACE}" preface)
  string(PREPEND text "${preface}\n")
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
