#!/usr/bin/env bash
# The bench signature (R1 and T1 solved for a fixed number of iterations) is one value on one
# and two threads and when run again. The plain kernels (TRAVANTO_KERNELS=plain) are not held
# to the signature: the vector path divides regret shares in float and the 16-bit regrets round
# its slightly different updates another way, so after 100 iterations the two solves differ by
# more than any rounding the signature could take (about 0.003 chips of EV, 0.02 of
# exploitability on T1). Their EVs and exploitabilities must agree to 0.1 chips (0.05 % of the pot).
set -euo pipefail
solve=$1
signature() { tail -n 1 <<<"$1" | grep -Eo '^signature [0-9a-f]{16}$'; }
one=$("$solve" --signature --threads 1)
two=$("$solve" --signature --threads 2)
again=$("$solve" --signature --threads 2)
plain=$(TRAVANTO_KERNELS=plain "$solve" --signature --threads 2)
echo "$two"
echo "1 thread: $(signature "$one"); 2 threads: $(signature "$two"), again $(signature "$again")"
[ "$(signature "$one")" = "$(signature "$two")" ] && [ "$(signature "$two")" = "$(signature "$again")" ]
numbers() { grep -Eo '(EV OOP|exploitability) [0-9.-]+' <<<"$1" | awk '{ print $NF }'; }
paste <(numbers "$two") <(numbers "$plain") | awk '
  { n++; d = $1 - $2; if (d < 0) d = -d; if (d > 0.1) { print "plain kernels differ: " $1 " against " $2; bad = 1 } }
  END { if (n != 4) { print "expected 4 values, got " n; bad = 1 } exit bad }'
