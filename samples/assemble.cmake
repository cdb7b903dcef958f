# Assembles one sample installation (run by the samples target with cmake -P):
#   SOURCE    the sample's folder: root/, registry/*.reg, files.txt
#   OUTPUT    the installation to make (replaced as a whole)
#   REG2HIVE  MAKE_PE  the tools
# The .reg files are joined in name order (their header lines in the middle are ignored by
# the reader, as any line that is not a key or a value is) and written as the SYSTEM and
# SOFTWARE hives of the Windows folder's system32\config. The joined text is kept beside
# the installation as <name>.reg.
foreach(var SOURCE OUTPUT REG2HIVE MAKE_PE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "assemble.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
file(COPY ${SOURCE}/root/ DESTINATION ${OUTPUT})

# The Windows folder, whatever its case.
file(GLOB top RELATIVE ${OUTPUT} ${OUTPUT}/*)
set(windows "")
foreach(entry IN LISTS top)
  string(TOUPPER "${entry}" upper)
  if(IS_DIRECTORY ${OUTPUT}/${entry} AND (upper STREQUAL "WINDOWS" OR upper STREQUAL "WINNT"))
    set(windows ${entry})
  endif()
endforeach()
if(windows STREQUAL "")
  message(FATAL_ERROR "${SOURCE}/root holds no Windows folder")
endif()

file(GLOB regs ${SOURCE}/registry/*.reg)
list(SORT regs)
if(NOT regs)
  message(FATAL_ERROR "${SOURCE}/registry holds no .reg file")
endif()
set(joined ${OUTPUT}.reg)
file(WRITE ${joined} "")
foreach(reg IN LISTS regs)
  file(READ ${reg} text)
  file(APPEND ${joined} "${text}\r\n")
endforeach()

set(config ${OUTPUT}/${windows}/system32/config)
file(MAKE_DIRECTORY ${config})
foreach(hive SYSTEM SOFTWARE)
  execute_process(COMMAND ${REG2HIVE} ${joined} ${config}/${hive} "HKEY_LOCAL_MACHINE\\${hive}"
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
    message(FATAL_ERROR "reg2hive ${hive} for ${SOURCE}: ${errors}")
  endif()
endforeach()

execute_process(COMMAND ${MAKE_PE} --manifest ${SOURCE}/files.txt --root ${OUTPUT}
                RESULT_VARIABLE status ERROR_VARIABLE errors OUTPUT_VARIABLE report)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make-pe for ${SOURCE}: ${errors}")
endif()
message(STATUS "${report}")
