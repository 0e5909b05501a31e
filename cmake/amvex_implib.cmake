# Writes the import libraries of the 32-bit Amvex.dll: every name of Amvex.def,
# decorated as the DLL's own symbol table has it (Name@bytes for __stdcall),
# imported by its undecorated export name (dlltool -k). IMPLIB is mingw's; with
# LLVM_DLLTOOL also MSVC_LIB, the same in the format of Microsoft's linker.
# Fails if a listed name is missing.
# cmake -DNM=.. -DDLLTOOL=.. -DDLL=.. -DDEF=.. -DIMPLIB=.. [-DLLVM_DLLTOOL=.. -DMSVC_LIB=..] -P amvex_implib.cmake
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "amvex_implib: ${NM} ${DLL} failed")
endif()
file(STRINGS ${DEF} lines)
set(def "LIBRARY Amvex.dll\nEXPORTS\n")
foreach(line ${lines})
  string(STRIP "${line}" name)
  if(NOT name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$" OR name STREQUAL "EXPORTS")
    continue()  # LIBRARY, EXPORTS, comments
  endif()
  if(symbols MATCHES " T _${name}(@[0-9]+)")
    string(APPEND def "${name}${CMAKE_MATCH_1}\n")
  else()
    message(FATAL_ERROR "amvex_implib: ${name} of Amvex.def is not defined in ${DLL}")
  endif()
endforeach()
get_filename_component(dir ${IMPLIB} DIRECTORY)
file(WRITE ${dir}/Amvex.decorated.def "${def}")
execute_process(COMMAND ${DLLTOOL} -k -d ${dir}/Amvex.decorated.def -D Amvex.dll -l ${IMPLIB} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "amvex_implib: dlltool failed")
endif()
if(LLVM_DLLTOOL)
  execute_process(COMMAND ${LLVM_DLLTOOL} -m i386 -k -d ${dir}/Amvex.decorated.def -l ${MSVC_LIB} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "amvex_implib: llvm-dlltool failed")
  endif()
endif()
