# bash completion for quarlix: the commands, their options, the values of
# --progress, --on-conflict and --types (a comma-separated list), the
# partitions of the source already typed, and files and devices for SOURCE.
_quarlix() {
    local cur prev words cword
    _init_completion -n , || return
    local commands="drives info index list stat cat search recover scan cache help"
    local global="--json --progress --no-cache --log-level --help --version"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --progress | --log-level) ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done
    case $prev in
        --progress) COMPREPLY=($(compgen -W "auto always never" -- "$cur")); return ;;
        --log-level) COMPREPLY=($(compgen -W "0 1 2" -- "$cur")); return ;;
        --on-conflict) COMPREPLY=($(compgen -W "rename overwrite skip" -- "$cur")); return ;;
        --to) _filedir -d; return ;;
        --types)
            local types="jpg png bmp gif psd tif dng mp3 mov doc xls ppt docx xlsx pptx pdf zip pst ost"
            local done=${cur%,*} last=${cur##*,}
            [[ $cur == *,* ]] && done="$done," || done=""
            COMPREPLY=($(compgen -P "$done" -W "$types" -- "$last"))
            compopt -o nospace
            return ;;
        --partition)
            # The partitions that `quarlix info` lists for the source on the line.
            local src="" j
            for ((j = i + 1; j < cword; j++)); do [[ ${words[j]} != -* ]] && { src=${words[j]}; break; }; done
            [[ -n $src ]] && COMPREPLY=($(compgen -W "$(quarlix --json --progress never info "$src" 2>/dev/null |
                sed -n 's/.*"partition":\([0-9]*\).*/\1/p')" -- "$cur"))
            return ;;
        --unit) COMPREPLY=($(compgen -W "512 1024 2048 4096 8192 16384 32768 65536" -- "$cur")); return ;;
    esac
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else COMPREPLY=($(compgen -W "$commands" -- "$cur")); fi
        return
    fi
    local options
    case $command in
        info | index | stat) options="--partition --rescan" ;;
        list) options="--partition --recursive --deleted-only --id" ;;
        cat) options="--partition --stream --force" ;;
        search) options="--partition --name --whole-name --size --created --modified" ;;
        recover) options="--partition --all --to --no-streams --no-attributes --on-conflict --yes" ;;
        scan) options="--partition --types --all-clusters --unit --to" ;;
        cache) COMPREPLY=($(compgen -W "clean" -- "$cur")); [[ ${words[cword - 1]} == cache ]] && return ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    else
        _filedir
        COMPREPLY+=($(compgen -f -X '!/dev/sd*' -- "$cur") $(compgen -f -X '!/dev/mmcblk*' -- "$cur"))
    fi
} && complete -F _quarlix quarlix
