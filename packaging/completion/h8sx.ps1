# PowerShell completion for h8sx.exe: its commands, each command's options, the ports that
# 'h8sx ports' names, the values of --verify, --format, --bit-rate and --repeat, and FILE
# among the files h8sx reads (.mot .s .srec .s19 .s28 .s37 .hex .ihex .bin).
# Load it with  . .\h8sx.ps1  (put that line into $PROFILE to have it in every session).

Register-ArgumentCompleter -Native -CommandName 'h8sx', 'h8sx.exe' -ScriptBlock {
    param($wordToComplete, $commandAst, $cursorPosition)
    $port = @('--port', '--trace', '--quiet')
    $options = @{
        'write'     = $port + @('--skip-blank', '--lenient', '--ignore-checksums', '--verify=sum', '--verify=read', '--no-verify', '--bit-rate', '--format', '--retries', '--log', '--serial', '--serial-next', '--repeat', '--repeat=auto')
        'check'     = @('--out', '--bit-rate', '--lenient', '--ignore-checksums', '--format', '--serial', '--serial-next', '--quiet')
        'info'      = $port + @('--json')
        'monitor'   = $port + @('--no-reset', '--timeout', '--expect')
        'ram-write' = $port + @('--monitor', '--timeout', '--expect', '--lenient')
        'reset'     = $port
        'ports'     = @()
    }
    $fileTypes = @('.mot', '.s', '.srec', '.s19', '.s28', '.s37', '.hex', '.ihex', '.bin')

    # The words before the one being completed; the first names the program.
    $before = @($commandAst.CommandElements | Where-Object { $_.Extent.EndOffset -lt $cursorPosition } |
                ForEach-Object { $_.Extent.Text })
    $command = if ($before.Count -gt 1) { $before[1] } else { '' }
    $previous = $before[-1]
    $candidates = @()
    if ($before.Count -le 1) {
        $candidates = @($options.Keys | Sort-Object) + @('--help', '--version')
    } elseif (-not $options.ContainsKey($command)) {
        return
    } elseif ($previous -eq '--port') {
        # The first column of 'h8sx ports' under its header row; an adapter without a COM
        # number by its device.
        $candidates = @(& $before[0] ports 2> $null | Select-Object -Skip 1 | ForEach-Object {
            $columns = -split $_
            if ($columns.Count -ge 2) { if ($columns[0] -eq '-') { $columns[1] } else { $columns[0] } }
        })
    } elseif ($previous -in '--trace', '--log', '--out', '--serial-next') {
        return  # any file: PowerShell's own completion of paths
    } elseif ($previous -eq '--bit-rate') {
        $candidates = @('38400', '57600', '62500', '76800', '125000', '156250', '208333', '312500', '625000')
    } elseif ($previous -eq '--format') {
        $candidates = @('srec', 'ihex', 'binary')
    } elseif ($previous -in '--retries', '--serial', '--timeout', '--expect') {
        return
    } elseif ($wordToComplete -like '-*') {
        $candidates = $options[$command] + @('--help')
    } elseif ($command -in 'write', 'check', 'ram-write') {
        # Named as typed: the folder part of the word, then the entry's name.
        $folder = $wordToComplete.Substring(0, $wordToComplete.LastIndexOfAny([char[]]'\/') + 1)
        $candidates = @(Get-ChildItem -Path "$wordToComplete*" -ErrorAction SilentlyContinue |
            Where-Object { $_.PSIsContainer -or $fileTypes -contains $_.Extension.ToLowerInvariant() } |
            ForEach-Object { $folder + $_.Name })
    }
    $candidates | Where-Object { $_ -like "$wordToComplete*" } | ForEach-Object {
        $text = if ($_ -match '\s') { "'$_'" } else { $_ }
        [System.Management.Automation.CompletionResult]::new($text, $_, 'ParameterValue', $_)
    }
}
