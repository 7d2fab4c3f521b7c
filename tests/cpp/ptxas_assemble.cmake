# Assembles one PTX module with NVIDIA's assembler and fails on anything it
# says: a module that only draws warnings here may be refused, or compiled
# differently, by the driver's own compiler on some device. A register spill
# to local memory is one of the warnings.
#
#   cmake -DPTXAS=<ptxas> -DARCH=<sm_XX> -DINPUT=<module.ptx> -DOUTPUT=<file> -P ptxas_assemble.cmake
foreach(var IN ITEMS PTXAS ARCH INPUT OUTPUT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "ptxas_assemble.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "ptxas_assemble.cmake: no module ${INPUT}")
endif()

# A stale object from an earlier run must not pass for this one.
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${output_dir}")
file(REMOVE "${OUTPUT}")

execute_process(
  COMMAND "${PTXAS}" -arch=${ARCH} --warn-on-spills -o "${OUTPUT}" "${INPUT}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)

string(STRIP "${out}${err}" said)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "ptxas -arch=${ARCH} ${INPUT} failed (${status}):\n${said}")
endif()
if(NOT said STREQUAL "")
  message(FATAL_ERROR "ptxas -arch=${ARCH} ${INPUT} printed diagnostics:\n${said}")
endif()
if(NOT EXISTS "${OUTPUT}")
  message(FATAL_ERROR "ptxas -arch=${ARCH} ${INPUT} wrote no object")
endif()
