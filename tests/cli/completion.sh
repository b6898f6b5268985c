#!/bin/sh
# kvb's bash completion of device paths, against a simulated device whose names would run a
# command if the completion expanded them: offered quoted, and nothing run. 77: no bash-completion.
kvb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
completion=$(cd "$(dirname "$0")/../../packaging" && pwd)/kvb.bash-completion
[ -f /usr/share/bash-completion/bash_completion ] || exit 77
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dev/Lua" && cd "$work" || exit 1
touch "dev/Lua/\$(touch ran)" "dev/Lua/two words.lua" dev/Lua/main.lua
KVB_COMPLETE_SECONDS=20 XDG_STATE_HOME=$work/state bash -c '
    . /usr/share/bash-completion/bash_completion; . "$1"
    COMP_WORDS=("$2" --simulate dev ls /Lua/); COMP_CWORD=4
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _kvb; printf "%s\n" "${COMPREPLY[@]}"' sh "$completion" "$kvb" > offered
fail=0
[ ! -e ran ] || { echo "FAIL: a device name ran a command"; fail=1; }
for want in '/Lua/\$\(touch\ ran\)' '/Lua/two\ words.lua' /Lua/main.lua; do
  grep -qxF "$want" offered || { echo "FAIL: not offered: $want"; fail=1; }
done
[ $fail = 0 ] || { echo "offered:"; cat offered; }
exit $fail
