# Two Debian packages from one installation, one per install component:
#   sovra-firmware-update  the updating programs, udev rules, menu entry, MIME
#                          type, icons, manual pages; no umockdev or GLib
#   sovra-beamformer-sim   the virtual beamformer and its manual page; needs
#                          the first and umockdev
#   cmake --build <dir> && (cd <dir> && cpack -G DEB)
# gives <name>_<version>_<arch>.deb of each in <dir>. Library dependencies
# are what dpkg-shlibdeps finds in each package's own programs.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "sovra-firmware-update")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "SovRa")
set(CPACK_PACKAGE_CONTACT "SovRa firmware tools developers")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Debug information belongs in a separate debug package, not in the programs.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "SovRa firmware tools developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE "xz")

# Lines of the extended descriptions stay under 80 columns, as dpkg shows
# them unwrapped; the first line is the summary. CPackDeb would put
# CPACK_PACKAGE_DESCRIPTION_SUMMARY (the project's description) before each
# component's description unless it is CPack's own default, so that is what
# it is set to here.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME "sovra-firmware-update")
string(JOIN "\n" CPACK_DEBIAN_UPDATER_DESCRIPTION
  "firmware update tools for SovRa USB beamformers"
  "Rewrites the 256 KiB flash of a SovRa USB beamformer with a firmware image"
  "from a catalogue (FirmwareUpdate.xml), keeping the device's own information"
  "block. The package holds:"
  " - sovra-firmware-update, the desktop application, which also opens a"
  "   firmware bundle's FirmwareUpdate.xml from a file manager;"
  " - sovra-flash, the command-line tool: list, update, dump and restore"
  "   devices, inspect and merge images, write udev rules."
  "udev rules give the logged-in user access to the devices without root.")
# Signed catalogues are checked by running gpgv, which no library links.
set(CPACK_DEBIAN_UPDATER_PACKAGE_DEPENDS "gpgv")
# The virtual beamformer lets either program be tried without hardware.
set(CPACK_DEBIAN_UPDATER_PACKAGE_SUGGESTS "sovra-beamformer-sim")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME "sovra-beamformer-sim")
string(JOIN "\n" CPACK_DEBIAN_SIM_DESCRIPTION
  "virtual SovRa USB beamformers for demonstrations and tests"
  "sovra-beamformer-sim hosts virtual beamformers behind the real libudev and"
  "libusb (through umockdev) and runs sovra-firmware-update or sovra-flash"
  "against them: an update, a dump or a restore can be tried without"
  "hardware, and faults such as a slow or failing device can be staged.")
# The launcher preloads umockdev's libumockdev-preload.so.0, which no program
# links and so dpkg-shlibdeps cannot see; it runs the updater's programs.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
  "sovra-firmware-update (= ${PROJECT_VERSION}), umockdev")

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
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
