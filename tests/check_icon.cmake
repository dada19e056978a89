# The committed icon is exactly what its source image makes:
# cmake -DPYTHON= -DSCRIPT= -DSOURCE= -DMADE= -DCOMMITTED= -P check_icon.cmake
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${SOURCE} ${MADE} RESULT_VARIABLE made)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "make-icon failed (${made})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${MADE} ${COMMITTED} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} is not what ${SOURCE} makes")
endif()
