#!/bin/bash
# Unplug during watch: usbip detach while tamrikctl watch runs gives unit_disconnected, attach
# again gives unit_connected, and watch keeps running throughout.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
