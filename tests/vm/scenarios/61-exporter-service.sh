#!/bin/bash
# The exporter as a service: systemctl enable --now tamrik-exporter, the unit appears in
# /metrics (tamrik_up 1, its serial), with the DynamicUser in plugdev and no other rights.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
