# Runs at install time (cmake --install), when the final prefix is known.
# Expects ZUVA_SOURCE_DATA, ZUVA_SETTINGS_SOURCE, ZUVA_BINDIR, ZUVA_CONFDIR,
# ZUVA_INITDIR (the last three relative to the install prefix or absolute; an
# empty ZUVA_INITDIR installs no init script) and ZUVA_SYSTEMD.
#
# - the SysV init script, with the daemon's installed path written into it;
# - with ZUVA_SYSTEMD, the systemd unit (daemon and settings folder written
#   into it) and the sysusers.d entry of the service's user;
# - zuva.conf and zuva.channels from the examples, but only where they do not
#   exist yet: they are the user's files, and a reinstall must keep the edits.

function(zuva_resolve out dir)
  if(IS_ABSOLUTE "${dir}")
    set(path "${dir}")
  else()
    set(path "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  cmake_path(SET path NORMALIZE "${path}")
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

zuva_resolve(bindir "${ZUVA_BINDIR}")
zuva_resolve(confdir "${ZUVA_CONFDIR}")

# The init script and the unit name the daemon as the machine will see it,
# without DESTDIR.
set(ZUVA_DAEMON "${bindir}/zuva")
set(ZUVA_CONFDIR "${confdir}")
if(NOT ZUVA_INITDIR STREQUAL "")
  zuva_resolve(initdir "${ZUVA_INITDIR}")
  set(init_dest "$ENV{DESTDIR}${initdir}/zuva")
  message(STATUS "Installing: ${init_dest}")
  configure_file("${ZUVA_SOURCE_DATA}/init.d/zuva" "${init_dest}" @ONLY)
  file(CHMOD "${init_dest}"
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${initdir}/zuva")
endif()

if(ZUVA_SYSTEMD)
  zuva_resolve(unitdir "lib/systemd/system")
  zuva_resolve(sysusersdir "lib/sysusers.d")
  message(STATUS "Installing: $ENV{DESTDIR}${unitdir}/zuva.service")
  configure_file("${ZUVA_SOURCE_DATA}/systemd/zuva.service" "$ENV{DESTDIR}${unitdir}/zuva.service" @ONLY)
  configure_file("${ZUVA_SOURCE_DATA}/systemd/zuva.sysusers" "$ENV{DESTDIR}${sysusersdir}/zuva.conf" COPYONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unitdir}/zuva.service" "${sysusersdir}/zuva.conf")
endif()

foreach(name zuva.conf zuva.channels)
  set(dest "$ENV{DESTDIR}${confdir}/${name}")
  set(source "${ZUVA_SOURCE_DATA}/${name}.example")
  if(name STREQUAL "zuva.conf")
    set(source "${ZUVA_SETTINGS_SOURCE}")
  endif()
  if(EXISTS "${dest}")
    message(STATUS "Keeping: ${dest}")
  else()
    message(STATUS "Installing: ${dest}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${confdir}")
    configure_file("${source}" "${dest}" COPYONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${confdir}/${name}")
  endif()
endforeach()

if(NOT ZUVA_SYSTEMD AND NOT confdir STREQUAL "/var/tuxbox/config/zuva")
  message(STATUS "Note: zuva reads its files from /var/tuxbox/config/zuva; "
                 "these went to ${confdir}")
endif()
