# The Debian package of Kartivo and its sibling programs (CPack, DEB):
#
#     cmake --build build --target package   ->  build/kartivo_<version>_amd64.deb
#
# Every program lies in one program folder, /opt/kartivo, beside help/ (the
# manual), blankimg/ (the blank reference images) and ini/, since each finds
# its files beside its own executable. ini/ is shipped read-only (0555): an
# installed copy keeps each user's settings in ~/.config/kartivo/ instead
# (platform/Settings.h). Each program also gets a command in /usr/bin (a link
# into the program folder), a desktop entry, hicolor icons and its man page.
# Project files (.kvpd) get a MIME type, opened by plateview.

set(KARTIVO_PROGRAM_DIR opt/kartivo)
set(KARTIVO_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/data/desktop)
set(KARTIVO_ICON_SIZES 16 22 24 32 48 64 128 256)
set(KARTIVO_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package-stage)
find_program(KARTIVO_RSVG_CONVERT rsvg-convert)
find_program(KARTIVO_GZIP gzip)
if(NOT KARTIVO_RSVG_CONVERT)
  message(WARNING "rsvg-convert (librsvg2-bin) not found: the package gets scalable icons only")
endif()

# One line per program: kartivo_package_program(plateview). Installs the
# executable into the program folder and its /usr/bin link, and, from
# data/desktop, <name>.desktop and <name>.svg (with PNG sizes made from it);
# and the man page <name>.1, found in the calling folder, data/man or any
# top-level folder, or given as MANPAGE <file>, when there is one. A program
# that this build does not make is left out with a note.
function(kartivo_package_program name)
  cmake_parse_arguments(ARG "" "MANPAGE" "" ${ARGN})
  if(NOT TARGET ${name})
    message(STATUS "Package: ${name} is not built here and is left out")
    return()
  endif()
  install(TARGETS ${name} DESTINATION ${KARTIVO_PROGRAM_DIR})

  set(_link ${KARTIVO_PACKAGE_STAGE}/bin/${name})
  file(MAKE_DIRECTORY ${KARTIVO_PACKAGE_STAGE}/bin)
  file(CREATE_LINK /${KARTIVO_PROGRAM_DIR}/${name} ${_link} SYMBOLIC)
  install(FILES ${_link} DESTINATION usr/bin)

  set(_desktop ${KARTIVO_DESKTOP_DIR}/${name}.desktop)
  if(EXISTS ${_desktop})
    install(FILES ${_desktop} DESTINATION usr/share/applications)
  endif()

  set(_svg ${KARTIVO_DESKTOP_DIR}/${name}.svg)
  set(_made)
  if(EXISTS ${_svg})
    install(FILES ${_svg} DESTINATION usr/share/icons/hicolor/scalable/apps)
    if(KARTIVO_RSVG_CONVERT)
      foreach(_size ${KARTIVO_ICON_SIZES})
        set(_png ${KARTIVO_PACKAGE_STAGE}/icons/${_size}x${_size}/${name}.png)
        add_custom_command(OUTPUT ${_png}
          COMMAND ${CMAKE_COMMAND} -E make_directory ${KARTIVO_PACKAGE_STAGE}/icons/${_size}x${_size}
          COMMAND ${KARTIVO_RSVG_CONVERT} -w ${_size} -h ${_size} -o ${_png} ${_svg}
          DEPENDS ${_svg} VERBATIM)
        install(FILES ${_png} DESTINATION usr/share/icons/hicolor/${_size}x${_size}/apps)
        list(APPEND _made ${_png})
      endforeach()
    endif()
  endif()

  set(_man ${ARG_MANPAGE})
  if(NOT _man)
    file(GLOB _elsewhere ${PROJECT_SOURCE_DIR}/*/${name}.1)
    foreach(_candidate ${CMAKE_CURRENT_SOURCE_DIR}/${name}.1 ${PROJECT_SOURCE_DIR}/data/man/${name}.1 ${_elsewhere})
      if(EXISTS ${_candidate})
        set(_man ${_candidate})
        break()
      endif()
    endforeach()
  endif()
  if(_man)
    # Debian keeps man pages gzip-compressed, without a time stamp (-n).
    set(_gz ${KARTIVO_PACKAGE_STAGE}/man/${name}.1.gz)
    add_custom_command(OUTPUT ${_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${KARTIVO_PACKAGE_STAGE}/man
      COMMAND ${KARTIVO_GZIP} -9nc ${_man} > ${_gz}
      DEPENDS ${_man})
    install(FILES ${_gz} DESTINATION usr/share/man/man1)
    list(APPEND _made ${_gz})
  endif()
  if(_made)
    add_custom_target(${name}_package_files ALL DEPENDS ${_made})
  endif()
endfunction()

# The program folder's data: the manual as the build made it, the blank
# reference images, and the read-only ini/ folder.
install(DIRECTORY ${KARTIVO_DATA_DIR}/help/ DESTINATION ${KARTIVO_PROGRAM_DIR}/help)
install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/help/images DESTINATION ${KARTIVO_PROGRAM_DIR}/help)
install(DIRECTORY ${KARTIVO_DATA_DIR}/blankimg DESTINATION ${KARTIVO_PROGRAM_DIR})
file(MAKE_DIRECTORY ${KARTIVO_PACKAGE_STAGE}/ini)
install(DIRECTORY ${KARTIVO_PACKAGE_STAGE}/ini DESTINATION ${KARTIVO_PROGRAM_DIR}
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${KARTIVO_DESKTOP_DIR}/kartivo-mime.xml DESTINATION usr/share/mime/packages RENAME kartivo.xml)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kartivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kartivo")
set(CPACK_PACKAGE_CONTACT "Kartivo developers <kartivo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download the Bing Maps tiles of an area to disk")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Kartivo downloads the map tiles of a rectangular area (road, aerial, hybrid,
bird's eye or Ordnance Survey) from the Bing Maps tile service and stores
them on disk, one image per tile, with a project file from which a stopped
download continues, a tile list with each tile's extent, a failed-tiles list
and a log. plateview shows a download as one map; platejoin combines it into
one georeferenced GeoTIFF, MBTiles file or image.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kartivo.example.org/")
# The runtime libraries, found from the executables by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Help > User manual and the homepage open with the desktop's opener.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
