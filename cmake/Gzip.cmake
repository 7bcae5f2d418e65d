# cmake -DGZIP=... -DSRC=... -DDST=... -P Gzip.cmake
# DST = SRC compressed as Debian wants it: the best compression, and neither
# the file's name nor its time stamp inside (gzip -9n), so that the same
# source gives the same bytes.
execute_process(COMMAND "${GZIP}" -9 -n -c "${SRC}" OUTPUT_FILE "${DST}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE "${DST}")
  message(FATAL_ERROR "gzip ${SRC}: ${rc}")
endif()
