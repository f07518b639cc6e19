#!/bin/sh
# Writes the COMMANDS section of lep3's manual page, as a help2man include file, from each
# command's own help ('lep3 COMMAND --help'), so the page says what the program says.
#
#   command_reference.sh LEP3 OUTPUT
#
# The commands are those 'lep3 --help' lists. The global options, which every command's
# help repeats, are left to the page's OPTIONS, where the main help puts them.
set -eu
lep3=$1
output=$2

commands=$("$lep3" --help | awk '/^Commands:$/ { listed = 1; next }
                                 listed && /^$/ { exit }
                                 listed && /^  [a-z]/ { print $1 }')
if [ -z "$commands" ]; then
    echo "command_reference.sh: '$lep3 --help' lists no commands" >&2
    exit 1
fi

# One command's help in roff: the usage as it is printed, paragraphs filled by the
# formatter, and each list under a heading ("Options:", "Settings:") as tagged paragraphs.
# Items are indented by less than 8 columns, the lines that continue them by more.
# shellcheck disable=SC2016 # an awk program, not shell
to_roff='
function escape(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    return s
}
function line(s) {
    s = escape(s)
    return s ~ /^[.\047]/ ? "\\&" s : s
}
function item_tag(s,    words, n, i, word, comma, tag) {
    n = split(s, words, " ")
    if (words[1] !~ /^-/)
        return "\\fB" escape(s) "\\fR"
    for (i = 1; i <= n; i++) {
        word = words[i]
        comma = sub(/,$/, "", word) ? "," : ""
        word = word ~ /^-/ ? "\\fB" escape(word) "\\fR" : "\\fI" escape(word) "\\fR"
        tag = tag (i > 1 ? " " : "") word comma
    }
    return tag
}
NR == 1 {
    sub(/^Usage: lep3 [^ ]+/, "")
    print ".PP\n.nf"
    print "\\fBlep3 " escape(command) "\\fR" line($0)
    in_usage = 1
    next
}
in_usage && /^$/ { print ".fi"; in_usage = 0; previous = ""; next }
in_usage { print line(substr($0, 8)); next }
/^$/ { in_paragraph = 0; previous = ""; next }
previous == "" && /^[^ ].*:$/ {
    skipping = $0 == "Global options:"
    if (!skipping)
        print ".PP\n\\fB" escape($0) "\\fR"
    previous = $0
    next
}
{ previous = $0 }
skipping { next }
{
    indent = match($0, /[^ ]/) - 1
    text = substr($0, indent + 1)
}
indent == 0 {
    if (!in_paragraph)
        print ".PP"
    in_paragraph = 1
    print line(text)
    next
}
indent < 8 {
    gap = index(text, "  ")
    print ".TP"
    if (gap == 0) {
        print item_tag(text)
    } else {
        print item_tag(substr(text, 1, gap - 1))
        text = substr(text, gap)
        sub(/^ +/, "", text)
        print line(text)
    }
    next
}
{ print line(text) }
END { if (in_usage) print ".fi" }
'

{
    echo "[COMMANDS]"
    echo "Every command also takes the global options above."
    for command in $commands; do
        echo ".SS \"lep3 $command\""
        "$lep3" "$command" --help | awk -v command="$command" "$to_roff"
    done
} >"$output.new"
mv "$output.new" "$output"
