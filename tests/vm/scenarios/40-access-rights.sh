#!/bin/bash
# Access rights through udev: the attached unit's hidraw node belongs to plugdev with mode 0660;
# a member of plugdev runs tamrikctl list and status, a user outside it is refused with status 3
# and "may not open" in its reason, root is never needed.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
