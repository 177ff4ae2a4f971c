# Where `cmake --install BUILD --prefix PREFIX` puts the programs and the data,
# relative to the prefix. The defaults are the GNU layout (PREFIX/bin,
# PREFIX/share/velmora); a Debian games layout is
#   -DCMAKE_INSTALL_PREFIX=/usr -DVELMORA_INSTALL_BINDIR=games -DVELMORA_INSTALL_DATADIR=share/games/velmora
set(VELMORA_INSTALL_BINDIR "${CMAKE_INSTALL_BINDIR}" CACHE STRING
  "Folder of the installed programs, relative to the install prefix")
set(VELMORA_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/velmora" CACHE STRING
  "Folder of the installed game data (sprite sheet, bundled song), relative to the install prefix")
set(VELMORA_INSTALL_FULL_DATADIR "${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_DATADIR}")

# The Debian package is always laid out as Debian games are, whatever the two
# settings above say, so that any build makes the same package.
set(VELMORA_PACKAGE_PREFIX /usr)
set(VELMORA_PACKAGE_BINDIR games)
set(VELMORA_PACKAGE_DATADIR share/games/velmora)

# The game looks for its data relative to its own folder in every layout it
# may have been installed in, so an installed tree that was moved, or the
# package unpacked into another root, still finds it.
set(VELMORA_PREFIX_DATADIRS "${VELMORA_INSTALL_DATADIR}")
if(NOT VELMORA_INSTALL_DATADIR STREQUAL VELMORA_PACKAGE_DATADIR)
  string(APPEND VELMORA_PREFIX_DATADIRS ":${VELMORA_PACKAGE_DATADIR}")
endif()

# Programs the player does not start by name (the calibration, which
# velmora_play starts), relative to the prefix; Debian games keep them in
# /usr/lib/games/velmora.
set(VELMORA_INSTALL_LIBEXECDIR "${CMAKE_INSTALL_LIBEXECDIR}/velmora" CACHE STRING
  "Folder of the programs velmora_play starts, relative to the install prefix")
set(VELMORA_INSTALL_FULL_LIBEXECDIR "${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_LIBEXECDIR}")
set(VELMORA_PACKAGE_LIBEXECDIR lib/games/velmora)
