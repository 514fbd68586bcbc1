# The Debian packages, built by CPack from what `cmake --install` puts in place, one for each
# component (`./setup.sh package [ARCH]` puts them into dist/):
#   cpack --config <build>/CPackConfig.cmake -B <folder>
#     ->  tamrikctl_<version>_<arch>.deb       the command line and the services (component ctl)
#         tamrik-config_<version>_<arch>.deb   the window (component gui), where it is built
# The runtime dependencies are computed from the binaries by dpkg-shlibdeps (package dpkg-dev); in a
# cross build, from the target's libraries (DEB_HOST_ARCH in the environment of cpack).
set(TAMRIK_DEB_ARCHITECTURE "" CACHE STRING "Debian architecture of the packages (default: dpkg --print-architecture)")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ctl)
if(TAMRIK_BUILD_GUI)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_PACKAGE_NAME tamrik-config)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TAMRIK_DEBIAN_REVISION})
if(TAMRIK_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TAMRIK_DEB_ARCHITECTURE})
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAMRIK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# tamrikctl. Up to 1.0.0 its files were in the one package tamrik-config: it takes them over from
# that package (Replaces), and older tamrik-config packages cannot stay beside it (Breaks).
set(CPACK_DEBIAN_CTL_PACKAGE_NAME tamrikctl)
set(CPACK_DEBIAN_CTL_PACKAGE_SECTION electronics)
# The first line is the synopsis; CPack indents the rest and writes an empty line as " .".
set(CPACK_DEBIAN_CTL_DESCRIPTION "command line and time services for Tamrik GPS-disciplined clocks
Tamrik units are clocks attached by USB that hold a GPS receiver and a
frequency synthesizer locked to it. tamrikctl lists the attached units,
reads their identity, settings, GPS signal and synthesizer lock, programs an
output frequency and switches the output, from scripts and machines without a
screen.
.
Its receiver bridge serves a unit's receiver to gpsd and its time to chrony
(systemd unit tamrik-gps-bridge@), and its exporter serves the units' health
to Prometheus (systemd unit tamrik-exporter, with example alert rules). A udev
rule gives the user at the local seat access to the units, so no program
needs root. The window is in the package tamrik-config.")
set(CPACK_DEBIAN_CTL_PACKAGE_BREAKS "tamrik-config (<< 1.1.0~)")
set(CPACK_DEBIAN_CTL_PACKAGE_REPLACES "tamrik-config (<< 1.1.0~)")
# udev applies the rule; the bridge feeds gpsd and chrony; the exporter is scraped by Prometheus.
set(CPACK_DEBIAN_CTL_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_CTL_PACKAGE_SUGGESTS "chrony, gpsd, prometheus")
set(CPACK_DEBIAN_CTL_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)

# tamrik-config: the window, with the same version of tamrikctl, which carries the udev rule.
set(CPACK_DEBIAN_GUI_PACKAGE_NAME tamrik-config)
set(CPACK_DEBIAN_GUI_DESCRIPTION "configure and monitor Tamrik GPS-disciplined clocks
Tamrik units are clocks attached by USB that hold a GPS receiver and a
frequency synthesizer locked to it. The tamrik-config window lists the
attached units, shows their identity and synthesizer settings, programs an
output frequency, switches the output and its drive strength, and shows the
GPS signal, the synthesizer lock, the satellites, the position and the time,
from which it can set the computer's clock.
.
The command line tamrikctl, in the package of that name, does the same tasks
from scripts.")
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "tamrikctl (= ${TAMRIK_DEB_VERSION})")
# xdg-open shows the position on a map.
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "xdg-utils")

# Directories 0755 whatever the umask of the one who builds the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
