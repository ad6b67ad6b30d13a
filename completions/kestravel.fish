# fish completion for kestravel
complete -c kestravel -f
complete -c kestravel -n '__fish_use_subcommand' -a replay -d 'play a turn script on this terminal'
complete -c kestravel -n '__fish_use_subcommand' -a view -d 'show a recorded conversation'
complete -c kestravel -n '__fish_use_subcommand' -l plain -d 'no full-screen interface'
complete -c kestravel -n '__fish_use_subcommand' -l config -r -F -d 'configuration file'
complete -c kestravel -n '__fish_use_subcommand' -l endpoint -x -a 'builtin http://127.0.0.1:8080/v1' -d 'runtime for this run'
complete -c kestravel -n '__fish_use_subcommand' -l mode -x -a 'fast reasoning' -d 'mode for this run'
complete -c kestravel -n '__fish_use_subcommand' -l model -x -d 'model name for this run'
complete -c kestravel -n '__fish_use_subcommand' -l project -x -a '(__fish_complete_directories)' -d 'directory the agent works in'
complete -c kestravel -n '__fish_use_subcommand' -l version -d 'print the version and commit'
complete -c kestravel -n '__fish_seen_subcommand_from replay' -l events -r -F -d 'write every agent event to FILE'
complete -c kestravel -n '__fish_seen_subcommand_from replay' -l fast -d 'skip the pauses of the script'
complete -c kestravel -n '__fish_seen_subcommand_from replay' -l dump-demo -d 'print the built-in demo as a script'
complete -c kestravel -n '__fish_seen_subcommand_from replay view' -F
complete -c kestravel -n '__fish_seen_subcommand_from view' -l size -x -d 'screen size COLSxROWS'
complete -c kestravel -n '__fish_seen_subcommand_from view' -l ansi -d 'print the screen with colours'
complete -c kestravel -n '__fish_seen_subcommand_from view' -l state -d 'print the view state'
