# For cross builds: nlohmann/json is header-only, so the build machine's copy serves every
# target. It is reached through a folder that holds it and nothing else of /usr/include, whose
# other headers must stay out of a foreign build; the folder joins CMAKE_FIND_ROOT_PATH.
set(hostHeaders ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${hostHeaders}/usr/include ${hostHeaders}/usr/share/cmake)
file(CREATE_LINK /usr/include/nlohmann ${hostHeaders}/usr/include/nlohmann SYMBOLIC)
file(CREATE_LINK /usr/share/cmake/nlohmann_json ${hostHeaders}/usr/share/cmake/nlohmann_json
     SYMBOLIC)
list(APPEND CMAKE_FIND_ROOT_PATH ${hostHeaders})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
