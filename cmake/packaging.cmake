# `cpack -G DEB` in a build configured with -DZUVA_INSTALL_SYSTEMD=ON and
# -DCMAKE_INSTALL_PREFIX=/usr makes the PC package (scripts/package-deb.sh
# does all of it): the daemon, zuva-status, zuva-replay, the settings,
# channels and translation files in /etc/zuva as conffiles (an upgrade keeps
# the user's edits), the systemd unit and its user, the manual pages, the
# copyright and changelog. Its maintainer scripts start nothing.
#
# The Debian changelog is the one place for the package's revision and its
# maintainer; its newest entry must be for this version.
file(STRINGS "${CMAKE_SOURCE_DIR}/data/debian/changelog" _zuva_changelog_lines)
list(GET _zuva_changelog_lines 0 _zuva_first)
if(NOT _zuva_first MATCHES "^zuva \\(([^-)]+)-([^)]+)\\)")
  message(FATAL_ERROR "data/debian/changelog: first line is not \"zuva (VERSION-REVISION) ...\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "data/debian/changelog: newest entry is ${CMAKE_MATCH_1}, the project ${PROJECT_VERSION}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE "${CMAKE_MATCH_2}")
foreach(_zuva_line IN LISTS _zuva_changelog_lines)
  if(_zuva_line MATCHES "^ -- (.+>)  ")
    set(CPACK_PACKAGE_CONTACT "${CMAKE_MATCH_1}")
    break()
  endif()
endforeach()

set(CPACK_PACKAGE_NAME "zuva")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "teletext and DVB subtitles on the Linux framebuffer")
# CPack puts the summary before this text as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A daemon that shows the teletext and DVB bitmap subtitles of the service a
DVB tuner plays on the framebuffer, with zuva-status to name that service
and zuva-replay to play recordings through it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service's user is made by systemd-sysusers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core, systemd | systemd-standalone-sysusers")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dvb-tools")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

# dpkg keeps a conffile the user changed across upgrades; the list names them
# where the package installs them.
set(_zuva_conffiles "${CMAKE_BINARY_DIR}/debian/conffiles")
set(_zuva_confdir "${ZUVA_INSTALL_CONFDIR}")
if(NOT IS_ABSOLUTE "${_zuva_confdir}")
  set(_zuva_confdir "${CMAKE_INSTALL_PREFIX}/${_zuva_confdir}")
endif()
set(_zuva_list "")
foreach(name zuva.conf zuva.channels zuva.translation)
  string(APPEND _zuva_list "${_zuva_confdir}/${name}\n")
endforeach()
file(WRITE "${_zuva_conffiles}" "${_zuva_list}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_zuva_conffiles}"
  "${CMAKE_SOURCE_DIR}/data/debian/postinst"
  "${CMAKE_SOURCE_DIR}/data/debian/prerm"
  "${CMAKE_SOURCE_DIR}/data/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
