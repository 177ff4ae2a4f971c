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
# rebuilding gives the same bytes. velmora_server.8 goes only into the
# server's package.
set(velmora_manual_pages velmora.6 velmora_play.6 velmora_bc.1 velmora_verify.1 velmora_server.8)
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

# The scoreboard server's own package, velmora-server: the server, its
# private re-play program, the service and its configuration (a conffile).
if(TARGET velmora_server)
  set(server COMPONENT server EXCLUDE_FROM_ALL)
  install(TARGETS velmora_server RUNTIME DESTINATION sbin ${server})
  install(TARGETS velmora_verify RUNTIME DESTINATION lib/velmora-server ${server})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/server/velmora-server.service DESTINATION /lib/systemd/system ${server})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/server/server.conf DESTINATION /etc/velmora ${server})
  install(FILES ${generated}/velmora_server.8.gz DESTINATION share/man/man8 ${server})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/server/nginx-site.conf
    DESTINATION share/doc/velmora-server/examples ${server})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/velmora-server ${server})
  file(WRITE ${generated}/server/conffiles "/etc/velmora/server.conf\n")
endif()
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
# One package per component: the game (deb) and, when it is built, the server.
set(CPACK_COMPONENTS_ALL deb)
if(TARGET velmora_server)
  list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_DEB_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME velmora-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "systemd")
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "postgresql")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "nginx")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${generated}/server/conffiles)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "scoreboard server for the velmora shooting game
Keeps the boards players of velmora share: every run sent to it is played
again by its own copy of the game's logic before it counts. Runs as the
velmora-server service on PostgreSQL, configured in
/etc/velmora/server.conf; an nginx site for TLS is among its examples.")
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
set(CPACK_DEBIAN_DEB_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
include(CPack)
