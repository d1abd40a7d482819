#!/bin/sh
# The floor of a pass in order: the archive (the first argument) read from end to end with large
# reads, and nothing else. Takes the patch programs' arguments so the benchmark can run it beside
# them.
exec dd if="$1" of=/dev/null bs=1M status=none
