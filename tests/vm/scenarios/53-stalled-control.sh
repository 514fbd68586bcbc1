#!/bin/bash
# Stalled control transfers: the virtual unit leaves feature reports unanswered; each command
# ends with status 4 within the kernel's bound and the program stays responsive.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
