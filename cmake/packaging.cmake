# `cpack -G DEB` in a build configured with -DZUVA_INSTALL_SYSTEMD=ON and
# -DCMAKE_INSTALL_PREFIX=/usr makes the PC package: the daemon, zuva-status,
# zuva-replay, the settings, channels and translation files in /etc/zuva as
# conffiles (an upgrade keeps the user's edits), the systemd unit and its
# user. Its maintainer scripts start nothing.
set(CPACK_PACKAGE_NAME "zuva")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "zuva developers <zuva@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "teletext and DVB subtitles on the Linux framebuffer")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "teletext and DVB subtitles on the Linux framebuffer
A daemon that shows the teletext and DVB bitmap subtitles of the service a
DVB tuner plays on the framebuffer, with zuva-status to name that service
and zuva-replay to play recordings through it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dvb-tools")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")

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
