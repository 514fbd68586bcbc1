#!/bin/bash
# The window under Xvfb: tamrik-config on the attached unit shows its serial number, writes a
# snapshot on SIGUSR1 with the unit's settings, and closes cleanly on SIGTERM.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
