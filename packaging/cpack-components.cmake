# Read by CPack for each generator: the .deb carries Debian's copyright file and changelog, the
# tarball the plain LICENSE; everything else is the Runtime component.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(_extra Debian)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
    set(_extra Licence)
else()
    set(_extra "")
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_UARTFLASH_BINARY_DIR};uartflash;Runtime;/")
if(_extra)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${CPACK_UARTFLASH_BINARY_DIR} uartflash ${_extra} /)
endif()
