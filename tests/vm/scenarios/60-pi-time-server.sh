#!/bin/bash
# The README's "Raspberry Pi time server" as written: its commands are taken from README.md
# (installed as /usr/share/doc/tamrikctl/README.md.gz) and run with the unit's serial; chronyc
# sources then shows the TMRK line with rising reach, the bridge's journal is clean.
. "$TAMRIK_VM_LIB/lib.sh"
need_virtual_unit
skip "needs tamrik-virtual-unit: the unit is installed, this scenario is not written yet"
