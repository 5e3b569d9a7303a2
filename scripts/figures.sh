#!/bin/bash
# Measures the figures README.md shows and rewrites its block between <!-- figures:begin --> and
# <!-- figures:end -->: the hook's cost natively and under Wine, what the plugin's own threads
# cost and how soon a saved setting is in force, the fuzz targets' runs, the
# stress test's size under TSan and the bad inputs the tests try, each from a run made here. It
# also redraws docs/default-drive.svg, the default drive's timeline README opens with.
#   scripts/figures.sh        a few minutes: the fuzzers run a minute each, as in CI
#   scripts/figures.sh --help this text
set -euo pipefail
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }
case "${1:-}" in
    "") ;;
    -h | --help) usage; exit 0 ;;
    *) echo "figures.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
scripts/setup.sh

out=build/figures
rm -rf "$out"
mkdir -p "$out"
step() { echo "figures: $*" >&2; }

# The bad inputs shown: test program | full test name (* for a table's rows) | the bad input.
# What happened is the test's name; whether it held comes from the runs below.
cat >"$out/bad-inputs.list" <<'EOF'
settings_test | SettingsFiles.EmptyDefaultFileIsLeftEmpty | An empty Taviro.ini
settings_test | SettingsFiles.FolderInPlaceOfDefaultFileCountsAsThereButGivesNothing | A folder named Taviro.ini
settings_test | SettingsFiles.MissingPluginFolderCreatesNothing | No Data\SFSE\Plugins folder
settings_test | SettingsFiles.LongValueIsCutTo9999Characters | A value longer than 9999 characters
settings_test | SettingsFiles.EmptyNamesAndOverlongPathsTouchNoFile | Empty section or key names, overlong paths
form_lookup_test | ParseHex32.ReadsAsTheRuntimeDoes | A hotkey of "0x" and nothing after, or past 32 bits
private_profile_test | PrivateProfile.Utf16FileWithMarkIsReadAndStaysUtf16 | A UTF-16 settings file
private_profile_test | PrivateProfile.CrLfCrAndLfEachEndALine | Mixed line ends in one file
private_profile_test | PrivateProfile.FifoReadsAsMissingAtOnceAndTakesNoWrite | A FIFO in place of a settings file
private_profile_test | PrivateProfile.WriteThroughLinksKeepsThem | Settings files behind links, dangling links, a loop of links
private_profile_test | PrivateProfile.AFileHeldShutReadsAsTheDefaultAndTakesNoWrite | A settings file another program holds open with no sharing
private_profile_test | PrivateProfile.StandInTakesAUtf8MarkForBytesOfTheFirstLine | A settings file that starts with a UTF-8 byte-order mark
settings_watcher_test | HeldSettingsFile.KeepsTheValuesItGaveTheReadingBefore | A settings file held shut at a reading, at the first one too, then deleted
settings_watcher_test | WatchedSettings.AFileHeldShutKeepsItsSettingsAndIsReadOnceLetGo | TaviroCustom.ini held shut while the game runs, through a save and a game load
settings_test | SettingsFiles.TheLogNamesEveryMistakeAPlayerCannotSee | Misspelt keys and sections, a key above any section, a UTF-8 mark, a name whose ending Windows hides
log_test | LogFile.AFolderThatCannotBeHadSendsTheLogToThePluginFolder | A log folder that cannot be created, or (natively) no Documents folder at all
log_test | LogFile.WithNoFolderAtAllThePluginRunsWithoutALog | No folder the log can go to
log_test | LogFile.AReadOnlyOrLockedLogLosesNoLineOfAnyLaunch | A read-only or locked Taviro.log
log_test | LogFile.ALogDeletedWhileTheGameRunsGoesOn | Taviro.log deleted while the game runs
log_test | LogFile.ALaunchWritesAtMostAMebibyteAndSaysWhatItLost | A launch that logs without end
log_test | LogFile.AFullDiskStopsTheLogAndNothingElse | A full disk
log_test | LogFile.OddTextStaysOneRecordPerLineAndShowsWhatItWas | Control characters, line and paragraph separators, direction marks and bytes that are not UTF-8 in a settings file or a log line; values and lines cut inside a character
log_test | LogFile.AChangeOfCurrentFolderNeitherMovesNorStopsTheLog | The game changing its current folder while the log is in the plugin folder
log_exit_test | LogAtExit.KilledAtARandomMomentLeavesWholeLinesEachOnce | The game killed at a random moment while it traces (SIGKILL natively, TerminateProcess under Wine)
log_exit_test | LogAtExit.EndingAtARandomMomentWritesWhatWasQueuedEachLineOnce | The game ending at a random moment while it traces (exit natively, ExitProcess under Wine)
log_exit_test | LogAtExit.LaunchesAppendedToOneLogStayWholeAndMarked | A previous launch's log that cannot be moved aside, three launches running
log_test | LogAtExit.TakesUpTheBatchOfAWriterEndedHoldingItsLock | The log's writer ended while it holds its lock, as ExitProcess leaves it (Windows only)
hook_trace_test | HookTest.AFullQueueKeepsTheOnceOnlyReports | A full log queue when the hook meets a foreign handbrake byte, or one the system will not make writable
plugin_entry_test | PluginEntryTest.CallsThatCannotBeTakenAreRefusedAndLeftAlone | At the call site: no call, a call elsewhere in the game's code, a call into reserved memory or into memory that may not run code
call_site_test | CallSiteTest.EdgesOfWhatCallingWouldBreakAreRefused | At the call site: a jump instead of a call, a call into a guard page or into memory given back to the system
plugin_entry_test | PluginEntryTest.ARedirectMadeAfterUsIsNamedOnceAndNeverTakenBack | Another plugin taking the call after Taviro, game loads and a second load of Taviro after that
plugin_entry_test | PluginEntryTest.NoRoomForTheTrampolineFailsTheLoadWithoutWriting | No free memory near the game's image
plugin_entry_test | PluginEntryTest.CallSiteThatCannotBeMadeWritableFailsTheLoad | A call site the system will not make writable
plugin_entry_test | PluginEntryTest.MissingGameModuleShowsTheBoxAndWritesNothing | No game module in the process
plugin_entry_test | PluginEntryTest.WithoutTheGamesUiTheMenuSinkIsLeftOut | No game UI at data-loaded
plugin_entry_test | PluginEntryTest.WithoutMessagingTheRedirectStandsAndNoListenerIsRegistered | A host without messaging
event_sinks_test | Sinks/ActivationFilter.FailsEarlyWithoutTouchingTheState/* | Activation event
event_sinks_test | Sinks/MenuIgnored.LeavesTheStateAlone/* | Menu event
form_lookup_test | TextRules/RegistryUntouchedTest.RejectedBeforeTheFileSearch/* | Form-ID text
EOF
programs=$(cut -d'|' -f1 "$out/bad-inputs.list" | tr -d ' ' | sort -u)

# Quiet when a build works; its errors when it does not.
build() {
    local preset=$1
    shift
    step "building $* ($preset)"
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j2 --target "$@"; } \
        >"$out/build-$preset.log" 2>&1; then
        cat "$out/build-$preset.log" >&2
        exit 1
    fi
}
# shellcheck disable=SC2086
build native hook_bench background_costs taviro-testbed $programs
# shellcheck disable=SC2086
build windows hook_timing background_costs $programs
build asan fuzz_hex_text fuzz_profile fuzz_form_id
build tsan concurrency_test

{
    echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "cpus=$(nproc)"
    echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
    echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
    echo "wine=$(wine --version 2>/dev/null || echo 'no Wine')"
} >"$out/machine.txt"

export TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix"
[ -d "$TAVIRO_WINEPREFIX" ] || scripts/wine-run.sh wineboot --init >/dev/null 2>&1

step "the hook natively (hook_bench, about a minute)"
build/native/bench/hook_bench --benchmark_repetitions=9 --benchmark_format=json \
    >"$out/hook_bench.json"

step "the hook under Wine (hook_timing.exe)"
scripts/wine-run.sh build/windows/bench/hook_timing.exe >"$out/hook_timing.json"

step "the plugin's own threads and a save's way into force (background_costs, natively and under Wine)"
build/native/bench/background_costs >"$out/background_costs.json"
scripts/wine-run.sh build/windows/bench/background_costs.exe >"$out/background_costs-wine.json"

step "the fuzz targets as CI runs them (a minute each, two at a time)"
# From empty corpora, as on CI's fresh clone: a grown corpus has longer inputs and fewer runs.
find build/asan/fuzz -path '*-corpus/*' -type f -delete
ctest --preset asan -R '^fuzz_' -V >"$out/fuzz.log" 2>&1 || step "a fuzz target failed: $out/fuzz.log"

step "the stress test under TSan"
ctest --preset tsan -R '^concurrency_test$' -V >"$out/stress-tsan.log" 2>&1 ||
    step "the stress test failed: $out/stress-tsan.log"

step "the bad inputs, natively and under Wine"
# Every round of the exit test, as CI plays them.
export CI=true
for program in $programs; do
    filter=$(awk -F'|' -v p="$program" '{ gsub(/ /, "", $1); gsub(/^ +| +$/, "", $2) }
        $1 == p { printf "%s%s", sep, $2; sep = ":" }' "$out/bad-inputs.list")
    # A failing test is a result for the table, not a reason to stop.
    (cd "$out" && HOME="$OLDPWD/build/native/home" "$OLDPWD/build/native/tests/$program" \
        --gtest_filter="$filter" --gtest_output="json:native-$program.json" \
        >"native-$program.log" 2>&1) || true
    (cd "$out" && "$OLDPWD/scripts/wine-run.sh" "$OLDPWD/build/windows/tests/$program.exe" \
        --gtest_filter="$filter" --gtest_output="json:wine-$program.json" \
        >"wine-$program.log" 2>&1) || true
done

step "the default drive's timeline (docs/default-drive.svg)"
build/native/testbed/taviro-testbed default --work-dir "$out" --keep-log "$out/Taviro.log" \
    >"$out/default-drive.txt"
python3 scripts/timeline.py "$out/Taviro.log" -o docs/default-drive.svg >/dev/null

python3 scripts/figures.py "$out" README.md
step "README.md's figures block rewritten; the raw outputs are in $out"
