#!/bin/bash
# Unplug during the exporter: tamrik_up goes 0 and tamrik_unit_disconnects_total 1 at
# 127.0.0.1:19347 after detach, back to 1 after attach.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
