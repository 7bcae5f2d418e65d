# cmake -DSRC=... -DDST=... -P CopyIfMissing.cmake
# Copies SRC to DST only when DST does not exist: settings an operator has
# changed beside a built executable are never overwritten by a build.
if(NOT EXISTS "${DST}")
  file(COPY_FILE "${SRC}" "${DST}")
endif()
