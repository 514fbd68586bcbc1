#!/bin/bash
# Commands through the kernel: status --wait, set-frequency (read back), output, drive, blink,
# write-register and factory-defaults on the attached unit, checked against what the virtual unit
# reports it received.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
