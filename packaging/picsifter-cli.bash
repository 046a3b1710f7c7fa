# bash completion for picsifter-cli                        -*- shell-script -*-
# SPDX-License-Identifier: GPL-3.0-or-later

# One option a line: the commands that take it (comma-separated), the option,
# and what its value is (- when it takes none).
_picsifter_cli_options='
run,due,crawl -v -
run,due,crawl --verbose -
run,due,crawl -q -
run,due,crawl --quiet -
run,due,crawl --max-time seconds
crawl --depth level
crawl --dest folder
crawl --tree -
crawl --policy policy
crawl --include filter
crawl --exclude filter
crawl --user text
crawl --password-file file
crawl --password text
crawl --connections count
crawl --types kinds
crawl --modern -
crawl --srcset srcset
crawl --host-connections count
crawl --streams count
crawl --cacert file
due --at time
history --limit count
history --json -
history --run run
'

# The trimmed titles of the stored tasks, one a line.
_picsifter_cli_titles() {
    local program=$1 title
    command -v "$program" >/dev/null 2>&1 || program=picsifter-cli
    "$program" list 2>/dev/null | while IFS=$'\t' read -r title _; do
        title=${title#"${title%%[![:space:]]*}"}
        printf '%s\n' "${title%"${title##*[![:space:]]}"}"
    done
}

_picsifter_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command=${COMP_WORDS[1]} commands options="" kind="" line kind_of
    local IFS=$' \t\n'
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W 'crawl list run due history help --help --version' -- "$cur")
        return
    fi
    while read -r commands line kind_of; do
        case ",$commands," in *",$command,"*) ;; *) continue ;; esac
        options="$options $line"
        [ "$line" = "$prev" ] && kind=$kind_of
    done <<<"$_picsifter_cli_options"

    case $kind in
    folder)
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return ;;
    file)
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return ;;
    level) mapfile -t COMPREPLY < <(compgen -W '0 1 2 3 4' -- "$cur"); return ;;
    policy) mapfile -t COMPREPLY < <(compgen -W 'keep replace version' -- "$cur"); return ;;
    srcset) mapfile -t COMPREPLY < <(compgen -W 'largest all' -- "$cur"); return ;;
    kinds)
        # After the last comma, the next kind.
        local done_part=${cur%"${cur##*,}"}
        mapfile -t COMPREPLY < <(compgen -P "$done_part" -W 'gif jpg jpeg png webp avif svg bmp ico' -- "${cur##*,}")
        return ;;
    time) COMPREPLY=("$(printf '%q' "$(date '+%Y/%m/%d %H:%M')")"); return ;;
    ?*) return ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options --help" -- "$cur")
    elif { [ "$command" = run ] || [ "$command" = history ]; } && [ "$COMP_CWORD" -eq 2 ]; then
        # Inside an opened quote the title goes in as it is, else escaped.
        local typed=${cur#[\"\']} title
        typed=${typed//\\/}
        while IFS= read -r title; do
            [[ $title == "$typed"* ]] || continue
            if [[ $cur == [\"\']* ]]; then
                COMPREPLY+=("$title")
            else
                COMPREPLY+=("$(printf '%q' "$title")")
            fi
        done < <(_picsifter_cli_titles "${COMP_WORDS[0]}")
    fi
}
complete -F _picsifter_cli picsifter-cli
