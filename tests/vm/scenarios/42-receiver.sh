#!/bin/bash
# The receiver through the kernel: receiver --count N prints the NAV messages the virtual unit's
# receiver sends; record FILE writes its bytes unchanged.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
