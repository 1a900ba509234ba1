# Windows programs built here run under Wine, in a throw-away prefix inside the build tree.
set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wine/prefix)
set(WINE_HOME_DIR ${CMAKE_BINARY_DIR}/wine/home)
set(script_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS ${script_permissions})
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-prefix.sh.in ${CMAKE_BINARY_DIR}/wine-prefix.sh @ONLY
               FILE_PERMISSIONS ${script_permissions})
set(WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN})
