#!/bin/sh
# The Group Policy templates: well-formed, elements in the ADMX schema's order, every string,
# presentation and element reference of the .admx resolved by the .adml, and the registry
# places the service reads.
# Usage: check-templates.sh <folder with QuorbelService.admx and en-US/QuorbelService.adml>
set -u
dir=$1
admx=$dir/QuorbelService.admx
adml=$dir/en-US/QuorbelService.adml
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# XPath without the default namespace getting in the way.
q() { xmllint --xpath "$2" "$1" 2>/dev/null; }
names() { q "$1" "$2" | tr ' ' '\n' | sed -n 's/^[a-zA-Z]*="\(.*\)"$/\1/p'; }

xmllint --noout "$admx" "$adml" || fail "not well-formed"

# The order of the schema: policyNamespaces, resources, supportedOn, categories, policies.
order=$(q "$admx" "/*[local-name()='policyDefinitions']/*" | grep -o '^<[a-zA-Z]*\|><[a-zA-Z]*' |
        sed 's/^>//; s/^<//' | tr '\n' ' ')
[ "$order" = "policyNamespaces resources supportedOn categories policies " ] ||
  fail "policyDefinitions children in the order: $order"
# Within a policy: parentCategory, supportedOn, enabledValue, disabledValue, elements.
for p in $(names "$admx" "//*[local-name()='policy']/@name"); do
  kids=$(q "$admx" "//*[local-name()='policy'][@name='$p']/*" | grep -o '<[a-zA-Z]*' | sed 's/^<//' |
         grep -v '^decimal$\|^list$' | tr '\n' ' ' | tr -s ' ')
  expected=$(echo "parentCategory supportedOn enabledValue disabledValue elements" |
             tr ' ' '\n' | grep -x -F "$(echo "$kids" | tr ' ' '\n')" | tr '\n' ' ' | tr -s ' ')
  [ "$kids" = "$expected" ] || fail "policy $p: children in the order: $kids"
done

# Every $(string.X) and $(presentation.X) of the .admx is defined in the .adml.
for s in $(grep -o '\$(string\.[A-Za-z_]*)' "$admx" | sed 's/.*\.\(.*\))/\1/' | sort -u); do
  [ -n "$(q "$adml" "//*[local-name()='string'][@id='$s']/@id")" ] || fail "string $s missing"
done
for s in $(grep -o '\$(presentation\.[A-Za-z_]*)' "$admx" | sed 's/.*\.\(.*\))/\1/' | sort -u); do
  [ -n "$(q "$adml" "//*[local-name()='presentation'][@id='$s']/@id")" ] ||
    fail "presentation $s missing"
done
# Every control of a presentation refers to an element of the .admx.
for r in $(names "$adml" "//*[local-name()='presentation']/*/@refId"); do
  [ -n "$(q "$admx" "//*[local-name()='elements']/*[@id='$r']/@id")" ] || fail "refId $r unknown"
done

# The registry places and types the service reads.
base='SOFTWARE\Policies\QUORBEL\QuorbelService'
[ "$(names "$admx" "//*[local-name()='list']/@key" | tr '\n' ' ')" = \
  "$base\\Programs $base\\AliveChecks " ] || fail "Programs and AliveChecks keys"
[ "$(names "$admx" "//*[local-name()='list']/@explicitValue" | tr '\n' ' ')" = "true true " ] ||
  fail "the Programs and AliveChecks lists need explicitValue=\"true\""
for v in Interval HangTimeout; do
  [ -n "$(q "$admx" "//*[local-name()='decimal'][@valueName='$v']/@id")" ] || fail "decimal $v"
done
[ -n "$(q "$admx" "//*[local-name()='policy'][@valueName='UserLists']/@name")" ] || fail "UserLists"
for k in $(names "$admx" "//*[local-name()='policy']/@key"); do
  [ "$k" = "$base" ] || fail "policy key $k"
done

# Each number's bounds are the ones its explanation gives, "(min to max)".
for d in $(names "$admx" "//*[local-name()='decimal']/@id"); do
  bounds="($(names "$admx" "//*[local-name()='decimal'][@id='$d']/@minValue") to"
  bounds="$bounds $(names "$admx" "//*[local-name()='decimal'][@id='$d']/@maxValue"))"
  policy=$(names "$admx" "//*[local-name()='policy'][.//*[@id='$d']]/@name")
  q "$adml" "//*[local-name()='string'][@id='${policy}_Help']/text()" | grep -q -F "$bounds" ||
    fail "decimal $d: the explanation of $policy does not give its bounds $bounds"
done

[ $failures -eq 0 ] && echo "templates OK"
exit $failures
