# cmake -DSRC=... -DDST=... -P place_if_absent.cmake
# Copies SRC to DST unless DST already exists (a user's settings are never overwritten).
if(NOT EXISTS "${DST}")
  get_filename_component(dir "${DST}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(READ "${SRC}" content)
  # Windows line ends, as Windows writes profile files.
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE "${DST}.tmp" "${content}")
  file(RENAME "${DST}.tmp" "${DST}")
endif()
