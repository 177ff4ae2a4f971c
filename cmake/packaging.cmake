# What gets installed, and the Debian package made from it (cpack -G DEB in
# the build folder, or the `package` target).
#
# Two sets of install rules:
# - the default component: `cmake --install BUILD --prefix PREFIX` in the
#   layout of cmake/install_dirs.cmake (programs, data, manual pages, the
#   converter's translations);
# - the `deb` component, left out of a plain install: the same files laid out
#   as Debian games are, plus the desktop entry, icon, AppStream metadata and
#   the Debian documentation files. CPack builds the package from it alone.
# Included after every folder, so every program target exists here.

set(velmora_programs velmora ${VELMORA_CONVERTER_PROGRAMS})
if(TARGET velmora_play)
  list(APPEND velmora_programs velmora_play)
endif()

set(VELMORA_APP_ID org.velmora.velmora)
set(VELMORA_MAINTAINER "velmora developers <maintainers@velmora.invalid>")
set(velmora_package_full_datadir "${VELMORA_PACKAGE_PREFIX}/${VELMORA_PACKAGE_DATADIR}")
set(generated ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${generated})

find_program(GZIP_EXECUTABLE gzip REQUIRED)

# ---------------------------------------------------------------- generated files

# The bundled song, small enough to ship: the full 72-second arrangement as
# Ogg Vorbis, named in its tags as the library screen lists it.
add_custom_command(OUTPUT ${generated}/song.ogg
  COMMAND make_song --title test_void --artist "velmora (the bundled song)" ${generated}/song.ogg
  DEPENDS make_song
  COMMENT "Rendering the bundled song"
  VERBATIM)
add_custom_command(OUTPUT ${generated}/velmora.png
  COMMAND make_sprite_sheet --icon ${generated}/velmora.png
  DEPENDS make_sprite_sheet
  COMMENT "Drawing the icon")

# Manual pages and the changelog, compressed without a time stamp so that
# rebuilding gives the same bytes. velmora_server.8 is not among them: the
# server is not installed, and is read from the source (man -l).
set(velmora_manual_pages velmora.6 velmora_play.6 velmora_bc.1 velmora_verify.1)
set(velmora_compressed)
foreach(page ${velmora_manual_pages} changelog)
  if(page STREQUAL "changelog")
    set(source ${PROJECT_SOURCE_DIR}/packaging/changelog.in)
  else()
    set(source ${PROJECT_SOURCE_DIR}/packaging/${page})
  endif()
  set(VERSION ${PROJECT_VERSION})
  set(DATADIR ${velmora_package_full_datadir})
  set(LIBEXECDIR ${VELMORA_PACKAGE_PREFIX}/${VELMORA_PACKAGE_LIBEXECDIR})
  set(MAINTAINER ${VELMORA_MAINTAINER})
  configure_file(${source} ${generated}/${page} @ONLY)
  add_custom_command(OUTPUT ${generated}/${page}.gz
    COMMAND ${GZIP_EXECUTABLE} -9nkf ${generated}/${page}
    DEPENDS ${generated}/${page} ${source}
    COMMENT "Compressing ${page}")
  list(APPEND velmora_compressed ${generated}/${page}.gz)
endforeach()
# Every edition's program shares the converter's page.
set(velmora_converter_pages)
foreach(exe IN LISTS VELMORA_CONVERTER_PROGRAMS)
  if(NOT exe STREQUAL "velmora_bc")
    file(CREATE_LINK velmora_bc.1.gz ${generated}/${exe}.1.gz SYMBOLIC)
  endif()
  list(APPEND velmora_converter_pages ${generated}/${exe}.1.gz)
endforeach()

set(APP_ID ${VELMORA_APP_ID})
configure_file(${PROJECT_SOURCE_DIR}/packaging/velmora.desktop.in ${generated}/${VELMORA_APP_ID}.desktop @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/velmora.metainfo.xml.in
  ${generated}/${VELMORA_APP_ID}.metainfo.xml @ONLY)

add_custom_target(velmora_install_files ALL
  DEPENDS ${generated}/song.ogg ${generated}/velmora.png ${velmora_compressed})

# ---------------------------------------------------------------- cmake --install

install(TARGETS ${velmora_programs} RUNTIME DESTINATION ${VELMORA_INSTALL_BINDIR})
install(TARGETS velmora_calibrate velmora_library velmora_verify RUNTIME DESTINATION ${VELMORA_INSTALL_LIBEXECDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/p.bmp DESTINATION ${VELMORA_INSTALL_DATADIR}/data)
install(FILES ${VELMORA_SOUND_EFFECTS} DESTINATION ${VELMORA_INSTALL_DATADIR}/data/sounds)
install(FILES ${generated}/song.ogg DESTINATION ${VELMORA_INSTALL_DATADIR})
install(FILES ${generated}/velmora.6.gz ${generated}/velmora_play.6.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
install(FILES ${velmora_converter_pages} ${generated}/velmora_verify.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---------------------------------------------------------------- the package

set(deb COMPONENT deb EXCLUDE_FROM_ALL)
install(TARGETS ${velmora_programs} RUNTIME DESTINATION ${VELMORA_PACKAGE_BINDIR} ${deb})
# Started by velmora_play --calibrate, never by name.
install(TARGETS velmora_calibrate velmora_library velmora_verify RUNTIME DESTINATION ${VELMORA_PACKAGE_LIBEXECDIR} ${deb})
install(FILES ${PROJECT_SOURCE_DIR}/data/p.bmp DESTINATION ${VELMORA_PACKAGE_DATADIR}/data ${deb})
install(FILES ${VELMORA_SOUND_EFFECTS} DESTINATION ${VELMORA_PACKAGE_DATADIR}/data/sounds ${deb})
install(FILES ${generated}/song.ogg DESTINATION ${VELMORA_PACKAGE_DATADIR} ${deb})
install(FILES ${generated}/velmora.6.gz ${generated}/velmora_play.6.gz DESTINATION share/man/man6 ${deb})
install(FILES ${velmora_converter_pages} ${generated}/velmora_verify.1.gz DESTINATION share/man/man1 ${deb})
install(FILES ${generated}/${VELMORA_APP_ID}.desktop DESTINATION share/applications ${deb})
install(FILES ${generated}/${VELMORA_APP_ID}.metainfo.xml DESTINATION share/metainfo ${deb})
install(FILES ${generated}/velmora.png DESTINATION share/icons/hicolor/128x128/apps ${deb})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/velmora ${deb})
install(FILES ${generated}/changelog.gz DESTINATION share/doc/velmora ${deb})
# The translations' install rules (both components) are in po/.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELMORA_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${VELMORA_PACKAGE_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL deb)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The fonts text is drawn with (text/fonts.cpp names their files); the
# libraries come from the programs' own dependencies.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core, fonts-droid-fallback, fonts-nanum")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "music-driven shooting game
A piece of music is the stage: every strong loudness pulse in it becomes a
burst of bullets fired in time with the music. Steer your ship between them,
graze them for score and bomb to set off chain reactions.
.
velmora_play starts the game on any song (WAV, FLAC, Ogg Vorbis, Opus,
MP3); velmora_bc turns a 44100 Hz sound file into a pattern file for the
game. A song of its own comes with the game.")
include(CPack)
