#!/bin/bash
# Unplug during the receiver bridge: the pty link stays while the unit is away, bytes resume after
# it is attached again, and no restart of the bridge happens.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
