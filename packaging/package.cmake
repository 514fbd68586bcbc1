# The Debian package, built by CPack from what `cmake --install` puts in place:
#   cpack --config <build>/CPackConfig.cmake -B <folder>   ->  tamrik-config_<version>_amd64.deb
# (`./setup.sh package` does this into dist/). The runtime dependencies are computed from the
# binaries by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamrik-config)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure and monitor Tamrik GPS-disciplined clocks")
# The extended description under that synopsis; CPack indents it and writes an empty line as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tamrik units are clocks attached by USB that hold a GPS receiver and a
frequency synthesizer locked to it. The tamrik-config window lists the
attached units, shows their identity and synthesizer settings, programs an
output frequency, switches the output and its drive strength, and shows the
GPS signal, the synthesizer lock, the satellites, the position and the time,
from which it can set the computer's clock.
.
tamrikctl does the same tasks from scripts. A udev rule gives the user at the
local seat access to the units, so neither program needs root.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAMRIK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udev applies the rule; xdg-open shows the position on a map.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, xdg-utils")
# The receiver bridge feeds gpsd, which hands the time to chrony.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gpsd, chrony")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories 0755 whatever the umask of the one who builds the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
