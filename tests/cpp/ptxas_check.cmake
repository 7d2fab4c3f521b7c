# Every embedded PTX module must assemble without a single diagnostic for an
# older and a current architecture, so that the driver's compiler accepts it
# wherever it runs. The driver compiles the text only on a real GPU; these
# tests catch a broken module on machines without one, whenever NVIDIA's
# assembler is installed. Without it nothing is registered.
find_program(VORLAN_PTXAS ptxas
  HINTS ENV CUDA_PATH ENV CUDA_HOME /usr/local/cuda
  PATH_SUFFIXES bin)

if(VORLAN_PTXAS)
  # The modules target sm_70, which CUDA 13's assembler no longer knows; it
  # is checked wherever the installed assembler still accepts it.
  set(VORLAN_PTXAS_ARCHS sm_75 sm_90)
  execute_process(COMMAND ${VORLAN_PTXAS} -arch=sm_70 --input-as-string
                          ".version 8.5\n.target sm_70\n.address_size 64\n"
                          -o ${CMAKE_CURRENT_BINARY_DIR}/ptxas_sm_70_probe.cubin
                  RESULT_VARIABLE sm_70_status OUTPUT_QUIET ERROR_QUIET)
  if(sm_70_status STREQUAL "0")
    list(PREPEND VORLAN_PTXAS_ARCHS sm_70)
  endif()
  # The texts as the module embeds them, shared pieces included, which the
  # build writes beside the generated sources.
  file(GLOB VORLAN_PTX_MODULES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/engine/kernels/*.ptx)
  foreach(source IN LISTS VORLAN_PTX_MODULES)
    get_filename_component(name ${source} NAME_WE)
    set(module ${PROJECT_BINARY_DIR}/src/kernels/${name}.ptx)
    foreach(arch IN LISTS VORLAN_PTXAS_ARCHS)
      add_test(NAME ptxas.${name}.${arch}
        COMMAND ${CMAKE_COMMAND}
          -DPTXAS=${VORLAN_PTXAS}
          -DARCH=${arch}
          -DINPUT=${module}
          -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/ptxas/${name}.${arch}.cubin
          -P ${CMAKE_CURRENT_SOURCE_DIR}/ptxas_assemble.cmake)
    endforeach()
  endforeach()
endif()
