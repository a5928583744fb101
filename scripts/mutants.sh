#!/bin/bash
# Deliberate breakages, each paired with the test that claims to catch it.
# By hand, not part of scripts/test.sh (it rebuilds per breakage):
#   scripts/mutants.sh [NAME...]        # all breakages, or only those named
# For each breakage it puts a fresh copy of the file into a copy of the tree
# (build-mutants/tree, brought up to date once per run), applies the
# one-line sed edit, rebuilds only the test program in build-mutants/tree/build
# (kept between runs, so later runs are incremental), runs it with its gtest
# filter and reports "caught" (the test failed) or "MISSED" (it passed). An
# edit that no longer applies is reported too. Exits 1 when any breakage was
# missed or did not apply. The first run builds the copy whole (minutes).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build-mutants
tree=$work/tree

names=() files=() edits=() targets=() filters=()
# mutant NAME FILE SED-EDIT TEST-PROGRAM GTEST-FILTER
mutant() { names+=("$1"); files+=("$2"); edits+=("$3"); targets+=("$4"); filters+=("$5"); }

# --- Faults: every injected fault fires and shows its effect.
mutant fault-plan-ignores-its-list platform/syncmgr/FaultPlan.cpp \
  's|^  faults_ = listIn("SYNCMGR_FAULTS");|  faults_ = {};|' test_safety 'InjectedFaults.*'
mutant fault-fires-without-effect platform/syncmgr/SyncMgr.cpp \
  's|^  if (injected("SyncOpenDB")) return SYNCERR_FAULT;|  injected("SyncOpenDB");|' test_safety 'InjectedFaults.*'
mutant partly-read-list-written-back conduit/ListMerge.cpp \
  's|^  if (!complete) {|  if (false) {|' test_safety 'InjectedFaults.*'
mutant failed-rename-drops-upload-request conduit/ListMerge.cpp \
  's|^    if (!renamed) result.setUploadFile(1);|    (void)renamed;|' test_safety 'InjectedFaults.*'
mutant draft-saved-without-upload-request conduit/ListMerge.cpp \
  's|^  if (renamed \&\& draft.started()) {|  if (draft.started()) {|' test_safety 'InjectedFaults.*'
mutant failed-upload-rename-drops-request outline/ListCopy.cpp \
  '0,/^  if (!renamed) list->setUploadFile(1);/s//  (void)renamed;/' test_safety 'InjectedFaults.*'
mutant undeletable-old-list-renamed-over outline/HandheldList.cpp \
  's|^  if (deleted != 0 \&\& deleted != SYNCERR_NOT_FOUND \&\&$|  if (false \&\&|' test_safety 'InjectedFaults.*'

# --- Atomic writes: a failed or cut write never leaves a half file.
mutant desktop-write-in-place desktop/AtomicFile.cpp \
  's|::open(candidate.c_str(), O_WRONLY \| O_CREAT \| O_EXCL|::open((candidate = path_).c_str(), O_WRONLY \| O_CREAT \| O_TRUNC|' \
  test_safety 'FullDesktopDisk.*'

# --- Kills: a run cut short anywhere loses nothing once the next run is done.
mutant interrupted-rebuild-not-repaired outline/HandheldList.cpp \
  's|^  if (pending.empty()) return true;|  return true;|' test_safety 'KillAtAnyMoment.*'
mutant interrupted-rebuild-not-noted outline/HandheldList.cpp \
  's|^  if (!notePendingRebuild(env.desktopFolder, note, before ? \&record : nullptr)) {|  if (false) {|' \
  test_safety 'KillAtAnyMoment.*'
mutant interrupted-rebuild-not-finished conduit/RunDriver.cpp \
  's|^      unfinished_.insert(p.name);|      (void)p;|' test_safety 'KillAtAnyMoment.*'

# --- Hostile input: nothing outside the folders, no read past a record.
mutant unsafe-list-names-used conduit/DatabaseTable.cpp \
  's|^  return !name.empty() && name != "." && name != ".." && name.find(./.) == std::string::npos;|  return !name.empty();|' \
  test_safety 'Table/HostileInput.*Name*'
mutant damaged-image-file-unreported platform/syncmgr/SyncMgr.cpp \
  's|^    if (s.sink) s.sink(("Handheld image: " + text).c_str(), s.sinkContext);|    (void)s;|' \
  test_safety 'Table/HostileInput.*Pdb*'
mutant pdb-record-offset-unchecked platform/syncmgr/PdbFile.cpp \
  's#^    if (offset > size || offset < listEnd || offset < floor) {#    if (offset < listEnd || offset < floor) {#' \
  test_safety 'Table/HostileInput.*Pdb*'

# --- Record and file formats, against fixed bytes and an independent reader.
mutant item-record-offsets-swapped outline/ItemRecord.cpp \
  's|^constexpr size_t kOffTargetTime = 16;|constexpr size_t kOffTargetTime = 20;|; s|^constexpr size_t kOffStartTime = 20;|constexpr size_t kOffStartTime = 16;|' \
  test_handheld 'ItemRecord.*'
mutant pdb-dates-swapped platform/syncmgr/PdbFile.h \
  's|kCreateDateOffset = 36;|kCreateDateOffset = 40;|; s|kModDateOffset = 40;|kModDateOffset = 36;|' \
  test_syncmgr 'PerlInterop.*'

# --- Text the handheld cannot hold stays on the desktop.
mutant desktop-twins-ignored conduit/ListMerge.cpp \
  's|^    keepDesktopTexts(\*sides.handheld, \*sides.desktop);|    ;|' test_handheld 'TextKept*:TextProperty.*'
mutant list-names-not-converted conduit/DatabaseTable.cpp \
  's|latin1BytesToUtf8(std::string_view(record.name, strnlen(record.name, sizeof record.name)))|std::string(record.name, strnlen(record.name, sizeof record.name))|' \
  test_handheld 'TextKeptTest.ListNames*'
mutant filter-file-keeps-control-bytes export/FilterFile.cpp \
  's|xmlSafeLatin1(escapeXmlAttribute(text), \&left)|escapeXmlAttribute(text)|' test_export 'ControlBytes*'

# --- Two runs at once.
mutant run-lock-not-taken platform/hotsync/RunLock.cpp \
  's|if (::flock(fd, LOCK_EX \| LOCK_NB) != 0) {|if (false) {|' test_hotsync 'RunLockTest.*'

# --- Work that exists on one side only is never destroyed.
mutant one-sided-handheld-work-dropped libsync/SlowSync.cpp \
  's|^  if (isHandheldWork(source) \&\& !methodCopies) {|  if (false) {|' \
  test_libsync 'MergePropertyTest.*'
mutant one-sided-desktop-work-dropped libsync/SlowSync.cpp \
  's|^        if (isDesktopWork(\*item)) {|        if (false) {|' test_libsync 'MergePropertyTest.*'
mutant deleted-twin-counts-as-kept libsync/SlowSync.cpp \
  's|^  bool liveTwin = twin \&\& !twin->deleted();|  bool liveTwin = twin;|' test_libsync 'MergePropertyTest.*:SlowSync*'
mutant leftover-temporary-of-a-standing-list-kept outline/HandheldList.cpp \
  's|^      if (it->created == 0 \|\| tempCreated == 0) continue;|      continue;|' test_safety 'KillAtAnyMoment.*'
mutant collision-drops-the-losers-work libsync/Engine.cpp \
  's|^  keepLosingWork(|  if (false) keepLosingWork(|' test_libsync 'MergePropertyTest.*:FilePairingTest.*'
mutant collision-drops-a-list-waiting-for-upload libsync/Engine.cpp \
  's|^  const bool waiting = loserIsDesktop \&\& loser.uploadFile() != 0;|  const bool waiting = false;|' \
  test_libsync 'MergePropertyTest.*:FilePairingTest.*'
mutant foreign-desktop-only-item-deleted libsync/SlowSync.cpp \
  's|^        if (foreign \&\& !item->deleted()) {|        if (false) {|' test_libsync 'MergePropertyTest.*'
mutant collision-drops-what-the-winner-lacks libsync/Engine.cpp \
  's|^  const std::vector<ListNode\*> inWinner = engine::pairByContent(others, held, context);|  const std::vector<ListNode*> inWinner(others.size(), held.empty() ? nullptr : held.front());|' \
  test_libsync 'MergePropertyTest.*'
mutant foreign-items-not-paired-by-handheld-form conduit/ListMerge.cpp \
  's|^  context.titleForm = handheldTitle;|  context.titleForm = nullptr;|' test_handheld 'TextKeptTest.Desktop*'
mutant conversions-share-one-buffer desktop/TextEncoding.cpp \
  's|static thread_local ResultBuffer|static ResultBuffer|' test_desktop 'HandheldText.*'
mutant recovery-copy-drops-desktop-texts outline/ListCopy.cpp \
  's|^  if (replaced \&\& replaced->uniqueTime() != list->uniqueTime() \&\& interrupted) keyAsWritten|  if (false) keyAsWritten|' \
  test_handheld 'InterruptedRebuildTest.*'
mutant shared-ids-kept outline/ListCopy.cpp \
  's|^  if (!anyIdShared(list)) return;|  return;|' test_safety 'WholeRunProperty.*'

# --- The run's decisions never lose a list; a run that could not finish says so.
mutant damaged-list-skipped platform/syncmgr/HandheldImage.cpp \
  's|^  if (!pdb) pdb = PdbFile::parseHeaderFields(|  if (false) pdb = PdbFile::parseHeaderFields(|' \
  test_hotsync 'RunSummaryTest.ADamagedHandheldList*'
mutant backup-ring-turns-for-a-failed-write desktop/AtomicFile.cpp \
  's|^  if (ok \&\& beforeReplace) ok = beforeReplace();|  if (beforeReplace) ok = beforeReplace() \&\& ok;|' \
  test_safety 'FullDesktopDisk.*'
mutant write-behind-failure-ignored desktop/AtomicFile.cpp \
  's|^      if (!failed() \&\& !writeAll(fd_, bytes.data(), bytes.size())) failed_ = true;|      writeAll(fd_, bytes.data(), bytes.size());|' \
  test_desktop 'AtomicFile.*'
mutant database-list-read-unchecked conduit/DatabaseTable.cpp \
  's|^    if (err != SYNCERR_NONE) {|    if (false) {|' test_conduit_suite 'HotsyncTest.DatabaseList*'
mutant desktop-edits-after-interruption-overwritten conduit/RunDriver.cpp \
  's|^  if (edited \&\& strategy_ != kStrategyHhOverDt) {|  if (false) {|' test_handheld 'EditedAfterInterruption*'
mutant replay-keeps-duplicate-origin outline/RebuildRecord.cpp \
  's|^      if (o >= 0 \&\& taken\[o\]) o = kForeignItem;|      (void)taken;|' test_handheld 'RebuildReplay*'
mutant foreign-temporary-deleted outline/HandheldList.cpp \
  's|^      if (p.created != created) continue;|      (void)p;|' test_handheld 'HandheldListTest.Foreign*'
mutant failed-list-reported-as-success conduit/RunDriver.cpp \
  's|^  if (result < 0 \&\& result_ >= 0) result_ = result;|  (void)result;|' test_handheld 'Kinds/FailedList*'
mutant desktop-file-opened-blocking desktop/RegularFile.cpp \
  's|O_RDONLY \| O_NONBLOCK \| O_CLOEXEC|O_RDONLY \| O_CLOEXEC|' test_desktop 'HostileDesktopFile.OnlyRegular*'
mutant huge-token-rescanned desktop/ListFileReader.cpp \
  's|^      block.resize(block.size() \* 2);|      block.resize(kFirstBlockBytes);|' test_desktop 'HostileDesktopFile.HugeToken*'
mutant killed-runs-temporaries-kept conduit/RunDriver.cpp \
  's|^    if (::unlink((folder_ + name).c_str()) == 0)|    if (false)|' test_handheld 'HonestRunTest.Temporaries*'
mutant unnoted-temporary-clears-the-lists-note outline/HandheldList.cpp \
  's|^  if (!renamed \&\& !notePendingRebuild(|  if (!renamed \&\& false \&\& !notePendingRebuild(|' \
  test_handheld 'InterruptedRebuildTest.ListNoteStays*'
mutant out-of-memory-ends-the-program platform/hotsync/main.cpp \
  's|^  } catch (const std::bad_alloc\&) {|  } catch (const std::out_of_range\&) {|; s|^  } catch (const std::exception\& e) {|  } catch (const std::length_error\& e) {|' \
  test_handheld 'HonestRunTest.OutOfMemory*'
mutant broken-pipe-ends-the-run platform/hotsync/main.cpp \
  's|^  std::signal(SIGPIPE, SIG_IGN);|  std::signal(SIGPIPE, SIG_DFL);|' test_hotsync 'HotsyncTest.RunOutlives*'
# --- A dry run changes nothing and runs as the real one would.
mutant dry-run-in-the-real-home platform/hotsync/SyncCommand.cpp \
  's|^  HomeSwitch switched(copies->home());|  HomeSwitch switched("");|' test_hotsync 'DryRunTest.*'
mutant dry-run-links-out-left-dangling platform/hotsync/FolderCopy.cpp \
  's|^  if (!target.empty() \&\& target\[0\] != ./. \&\& climbsOut(target, depth)) {|  if (false) {|' \
  test_hotsync 'DryRunTest.*'
mutant desktop-file-saved-during-the-run-replaced outline/DesktopTexts.cpp \
  's|^    if (asRead \&\& stampOf(path) != \*asRead) {|    if (false) {|' \
  test_safety 'ExampleRun.DesktopFileSavedOrOpened*'
mutant recycled-item-taken-for-the-one-before outline/ListNode.cpp \
  's|^  ++generation_;|  generation_ += 0;|' test_model 'ContentFingerprint.*'

mutant summary-hides-the-former-title platform/hotsync/ItemLines.cpp \
  's|^          line.formerTitle = std::string(side.before.title(c.before));|          (void)c;|' test_hotsync 'DryRunTest.*'

# Whether NAME is among the names asked for.
selected() {
  local name=$1 want
  shift
  for want in "$@"; do [ "$want" = "$name" ] && return 0; done
  return 1
}

# Brings the copy up to date with this tree (tracked and new files): only
# files that differ are copied, with a new time stamp, so the build there
# compiles what changed and nothing else; files gone here go there too.
sync_tree() {
  local list=$work/files f
  git ls-files -co --exclude-standard >"$list"
  while IFS= read -r f; do
    [ -f "$f" ] || continue
    if ! cmp -s "$f" "$tree/$f"; then
      mkdir -p "$tree/$(dirname "$f")"
      cp "$f" "$tree/$f"
    fi
  done <"$list"
  (cd "$tree" && find . -path ./build -prune -o -type f -printf '%P\n' | sort) |
    comm -23 - <(sort "$list") | while IFS= read -r f; do rm -f "$tree/$f"; done
}

mkdir -p "$tree"
sync_tree
if [ ! -f "$tree/build/build.ninja" ]; then
  echo "=== configuring $tree/build (the first build takes minutes)"
  CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache \
    cmake -S "$tree" -B "$tree/build" -G Ninja >/dev/null || exit 1
fi

caught=0 missed=0 broken=0
for i in "${!names[@]}"; do
  name=${names[$i]} file=${files[$i]}
  if [ $# -gt 0 ] && ! selected "$name" "$@"; then continue; fi
  cp "$root/$file" "$tree/$file"
  sed -i -e "${edits[$i]}" "$tree/$file"
  if cmp -s "$root/$file" "$tree/$file"; then
    echo "NOT APPLIED  $name ($file: the edit matches nothing)"
    broken=$((broken + 1))
    continue
  fi
  log=$work/$name.log
  if ! nice -n 5 cmake --build "$tree/build" --target "${targets[$i]}" >"$log" 2>&1; then
    echo "NOT BUILT    $name (see $log)"
    broken=$((broken + 1))
  elif timeout 1200 "$tree/build/bin/${targets[$i]}" --gtest_filter="${filters[$i]}" >>"$log" 2>&1; then
    echo "MISSED       $name: ${targets[$i]} --gtest_filter='${filters[$i]}' passes (see $log)"
    missed=$((missed + 1))
  else
    echo "caught       $name by ${targets[$i]} ${filters[$i]}"
    caught=$((caught + 1))
  fi
  cp "$root/$file" "$tree/$file"  # a new time stamp: the next build compiles it again
done
echo "=== $caught caught, $missed missed, $broken not applied or not built"
[ "$missed" -eq 0 ] && [ "$broken" -eq 0 ]
