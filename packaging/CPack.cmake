# The Debian package: everything `cmake --install` puts under /usr, with the
# dependencies dpkg-shlibdeps finds in the programs.
#   cmake --build <dir> && (cd <dir> && cpack)
# gives sovra-firmware-update_<version>_<arch>.deb in <dir>.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "sovra-firmware-update")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "SovRa")
set(CPACK_PACKAGE_CONTACT "SovRa firmware tools developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tools for SovRa USB beamformers")
# Lines of the extended description stay under 80 columns, as dpkg shows
# them unwrapped.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Rewrites the 256 KiB flash of a SovRa USB beamformer with a firmware image"
  "from a catalogue (FirmwareUpdate.xml), keeping the device's own information"
  "block. The package holds:"
  " - sovra-firmware-update, the desktop application;"
  " - sovra-flash, the command-line tool: list, update, dump and restore"
  "   devices, inspect and merge images, write udev rules;"
  " - sovra-beamformer-sim, which runs either program against virtual"
  "   beamformers, for demonstrations and tests."
  "udev rules give the logged-in user access to the devices without root.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Debug information belongs in a separate debug package, not in the programs.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "SovRa firmware tools developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The simulator preloads umockdev's libumockdev-preload.so.0, which no
# program links and so dpkg-shlibdeps cannot see; the flashing tools work
# without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "umockdev")
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")

# postinst triggers the installed rules for each vendor they name.
file(STRINGS ${SOVRA_UDEV_RULES} rule_lines REGEX "ATTR\\{idVendor\\}==\"[0-9a-f]+\"")
set(vendors)
foreach(line IN LISTS rule_lines)
  string(REGEX MATCH "ATTR\\{idVendor\\}==\"([0-9a-f]+)\"" _ "${line}")
  list(APPEND vendors ${CMAKE_MATCH_1})
endforeach()
list(REMOVE_DUPLICATES vendors)
set(SOVRA_TRIGGER_LINES)
foreach(vendor IN LISTS vendors)
  string(APPEND SOVRA_TRIGGER_LINES
    "    udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=${vendor} || true\n")
endforeach()
string(STRIP "${SOVRA_TRIGGER_LINES}" SOVRA_TRIGGER_LINES)
set(SOVRA_TRIGGER_LINES "    ${SOVRA_TRIGGER_LINES}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/postinst.in ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
