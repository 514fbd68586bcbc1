# The Windows programs need no DLL beyond those that Windows itself ships: the C++ runtime is linked
# in statically.
#   cmake -DOBJDUMP=<objdump> -DPROGRAMS=<a.exe|b.exe> -P <this file>
# Every file must exist: a missing program is a failure, not a pass.
cmake_minimum_required(VERSION 3.25)

# Parts of Windows (lower case); MinGW's own runtime DLLs (libstdc++-6, libgcc_s_seh-1,
# libwinpthread-1) are not among them.
set(system_dlls
  advapi32.dll bcrypt.dll cfgmgr32.dll comctl32.dll comdlg32.dll crypt32.dll d2d1.dll dwmapi.dll dwrite.dll
  gdi32.dll gdiplus.dll hid.dll imm32.dll kernel32.dll msimg32.dll msvcrt.dll ntdll.dll ole32.dll oleacc.dll
  oleaut32.dll rpcrt4.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll
  version.dll winmm.dll ws2_32.dll)

string(REPLACE "|" ";" programs "${PROGRAMS}")
set(problems "")
set(checked 0)
foreach(program IN LISTS programs)
  if(NOT EXISTS "${program}")
    string(APPEND problems "${program}: missing\n")
    continue()
  endif()
  execute_process(COMMAND "${OBJDUMP}" -p "${program}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(APPEND problems "${program}: ${OBJDUMP} -p failed\n")
    continue()
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
  if(NOT names)
    string(APPEND problems "${program}: no import table found\n")
  endif()
  foreach(entry IN LISTS names)
    string(REGEX REPLACE "^DLL Name: *" "" dll "${entry}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll_lower)
    if(NOT dll_lower IN_LIST system_dlls)
      string(APPEND problems "${program}: needs ${dll}, which Windows does not ship\n")
    endif()
  endforeach()
  math(EXPR checked "${checked} + 1")
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
message("${checked} Windows programs import system DLLs only")
