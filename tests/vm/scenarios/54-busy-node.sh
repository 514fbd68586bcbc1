#!/bin/bash
# Busy node: another process holds the unit's hidraw node; tamrikctl names the unit as busy with
# that process (status 3).
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
