# fish completion for h8sx: its commands, each command's options, the ports that
# 'h8sx ports' names, the values of --verify, --format, --bit-rate and --repeat, and
# FILE among the files h8sx reads (.mot .s .srec .s19 .s28 .s37 .hex .ihex .bin).

set -l commands write check info monitor ram-write reset ports
set -l with_port write info monitor ram-write reset

# The names of 'h8sx ports' (its first column, under a header row); an adapter without
# a COM number by its device.
function __h8sx_ports
    command -q h8sx; or return
    h8sx ports 2>/dev/null | awk 'NR > 1 && NF { print ($1 == "-" ? $2 : $1) }'
end

# Directories, and files whose extension h8sx reads, in any case.
function __h8sx_files
    for f in (__fish_complete_path (commandline -ct) | string replace -r '\t.*' '')
        if string match -q -- '*/' $f; or string match -qir -- '\.(mot|s|srec|s19|s28|s37|hex|ihex|bin)$' $f
            echo $f
        end
    end
end

complete -c h8sx -f
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -l help -d 'Show the help'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -l version -d 'Show the version'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a write -d 'Erase the flash and program FILE into it'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a check -d 'Read FILE as write would, and send nothing'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a info -d 'Ask the board about itself'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a monitor -d 'Restart the board and show what it sends'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a ram-write -d 'Send FILE to the board\'s own program'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a reset -d 'Restart the board into its own program'
complete -c h8sx -n "not __fish_seen_subcommand_from $commands" -a ports -d 'List the serial ports and their names'

complete -c h8sx -n "__fish_seen_subcommand_from $commands" -l help -d 'Show the command\'s help'
complete -c h8sx -n "__fish_seen_subcommand_from $with_port" -l port -x -a '(__h8sx_ports)' -d 'The serial port'
complete -c h8sx -n "__fish_seen_subcommand_from $with_port" -l trace -r -F -d 'Record the exchange on the port in FILE'
complete -c h8sx -n "__fish_seen_subcommand_from $with_port check" -l quiet -d 'Print only errors'
complete -c h8sx -n '__fish_seen_subcommand_from write check ram-write' -a '(__h8sx_files)'
complete -c h8sx -n '__fish_seen_subcommand_from write check ram-write' -l lenient -d 'Read FILE as the window does'
complete -c h8sx -n '__fish_seen_subcommand_from write check' -l ignore-checksums -d 'Load records with a wrong checksum'
complete -c h8sx -n '__fish_seen_subcommand_from write check' -l bit-rate -x -a '38400 57600 62500 76800 125000 156250 208333 312500 625000' -d 'Bit rate'
complete -c h8sx -n '__fish_seen_subcommand_from write check' -l format -x -a 'srec ihex binary' -d 'The format of FILE'
complete -c h8sx -n '__fish_seen_subcommand_from write check' -l serial -x -d 'A serial number at ADDR:FORMAT'
complete -c h8sx -n '__fish_seen_subcommand_from write check' -l serial-next -r -F -d 'The file of the next serial number'
complete -c h8sx -n '__fish_seen_subcommand_from write' -l skip-blank -d 'Leave blocks of only 0xFF erased'
complete -c h8sx -n '__fish_seen_subcommand_from write' -a '--verify=sum --verify=read' -d 'Verify the flash'
complete -c h8sx -n '__fish_seen_subcommand_from write' -l no-verify -d 'Trust the acknowledgements alone'
complete -c h8sx -n '__fish_seen_subcommand_from write' -l retries -x -d 'How often a spoiled block is sent again or read back'
complete -c h8sx -n '__fish_seen_subcommand_from write' -l log -r -F -d 'Append a row for every board to FILE, the production log'
complete -c h8sx -n '__fish_seen_subcommand_from write' -a '--repeat --repeat=auto' -d 'Write board after board'
complete -c h8sx -n '__fish_seen_subcommand_from check' -l out -r -F -d 'Write the bytes the blocks would carry'
complete -c h8sx -n '__fish_seen_subcommand_from info' -l json -d 'Print as JSON'
complete -c h8sx -n '__fish_seen_subcommand_from monitor' -l no-reset -d 'Attach without restarting the board'
complete -c h8sx -n '__fish_seen_subcommand_from monitor ram-write' -l timeout -x -d 'End after S seconds'
complete -c h8sx -n '__fish_seen_subcommand_from monitor ram-write' -l expect -x -d 'End as soon as TEXT has appeared'
complete -c h8sx -n '__fish_seen_subcommand_from ram-write' -l monitor -d 'Go on as monitor afterwards'
