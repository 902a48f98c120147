#!/usr/bin/env bash
# Measures how well the tests catch faults: applies each deliberate fault of the table
# below to the sources in turn (an exact text replacement, each standing for a mistake
# a careless change could make), builds, runs the test binaries and reports which test
# caught it. A fault no test catches is a hole in the suite.
#
#   scripts/mutants.sh            every fault of the table
#   scripts/mutants.sh NAME...    just these
#   scripts/mutants.sh --list     the table
#   scripts/mutants.sh --check    only checks that every fault still applies
#
# Builds in build/mutants (the release preset's settings) and restores every
# file it touched, also when interrupted. The test binaries run one after another, the
# quick ones first; the first binary with a failing test ends a fault's run, and its
# failing tests are what caught it. A binary that runs longer than MUTANT_TIMEOUT seconds
# (default 600) counts as having caught the fault (a hang). MUTANT_LINKER=lld links with
# that linker (quicker where it is installed). Before the faults, the
# unchanged tree must pass (MUTANT_SKIP_BASELINE=1 skips that check). The S3 tests run
# only when a gateway is configured (AWS_ENDPOINT_URL and the rest, see scripts/rgw.sh);
# compare runs made alike.
# The report, a Markdown table, is written to build/mutants/report.md as well.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/mutants
timeout_s=${MUTANT_TIMEOUT:-600}

# The faults. "@ name file" starts one, "# ..." says what it stands for, "- old" is the
# exact text (it must occur once in the file) and "+ new" its replacement.
read -r -d '' TABLE <<'EOF' || true
@ record-digest-skipped fleck/CFleckDataPreparer.cpp
# A fleck record whose outer digest does not match is decoded anyway.
- if (std::memcmp(digest->getResult(), source.getData() + (u - d), d) != 0) {
+ if (false && std::memcmp(digest->getResult(), source.getData() + (u - d), d) != 0) {
@ payload-digest-skipped fleck/CFleckDataPreparer.cpp
# The digest of the decoded fleck is not compared with the one the record holds.
- if (std::memcmp(digest->getResult(), source.getData() + 9, d) != 0) {
+ if (false && std::memcmp(digest->getResult(), source.getData() + 9, d) != 0) {
@ newer-record-accepted fleck/CFleckDataPreparer.cpp
# A record that needs a newer reader is read (boundary off by one).
- if (minReadVersion > CFleckDisk::getImplementationVersion()) {
+ if (minReadVersion > CFleckDisk::getImplementationVersion() + 1) {
@ zeros-remove-over-one-parent fleck/CFleck.cpp
# Zeros written over a disk's only parent remove the file: the parent shows through.
- searchFolders.size() > 1 && parentHolds(relative)
+ searchFolders.size() > 2 && parentHolds(relative)
@ child-gets-zeros-not-parent-record fleck/CFleck.cpp
# A disk in the middle of a chain gives its child zeros instead of what it read.
- if (readRecord(*it << relative, *record)) return record;
+ if (readRecord(*it << relative, *record)) return zeroFleckPrepared;
@ farthest-folder-first fleck/CFleck.cpp
# A fleck is looked up from the oldest parent towards the disk.
- for (int i = 0; i < count && found < 0; ++i) {
+ for (int i = count - 1; i >= 0 && found < 0; --i) {
@ short-record-accepted fleck/CFleck.cpp
# A record that decodes to less than a whole fleck is accepted.
- if (static_cast<std::int64_t>(payload.getUsed()) != header.getFleckSize()) {
+ if (static_cast<std::int64_t>(payload.getUsed()) > header.getFleckSize()) {
@ tree-level-letter-shifted fleck/CFleck.cpp
# The folder names of the fleck tree change (an on-disk format break).
- component.push_back(static_cast<wchar_t>(0x60 + level));
+ component.push_back(static_cast<wchar_t>(0x61 + level));
@ same-fleck-stores-unordered fleck/CFleck.cpp
# A second store of one fleck does not wait for the first.
- waitFor->waitFinished(-1);
+ waitFor->waitFinished(0);
@ not-moved-into-child fleck/CFleckStorer.cpp
# A parent overwrites a fleck without moving its old contents into the child.
- if (!childRelativeFleckURI.isEmpty()) {
+ if (false) {
@ move-into-child-replaces fleck/CFleckStorer.cpp
# Moving a fleck into the child replaces the child's own file of it.
- fileSystem->moveAsync(diskFile(), childFile(), zel::IFileSystem::MoveNoReplace, this);
+ fileSystem->moveAsync(diskFile(), childFile(), zel::IFileSystem::MoveReplace, this);
@ child-zero-record-replaces fleck/CFleckStorer.cpp
# The zero record for the child replaces a file the child has.
- /*replace=*/false, this);
+ /*replace=*/true, this);
@ flush-does-not-wait fleck/CFleckDisk.cpp
# Flushing starts the stores but returns before they end.
- void CFleckDisk::flushChanges() {
+ void CFleckDisk::flushChanges() { fleck->backgroundSaveChanges(); return;
@ no-writer-lock fleck/CFleckDisk.cpp
# Two writers may open one disk.
- if (writing) writerLock = zel::make<CFleckDiskLock>(fs, diskFolder);
+ if (false) writerLock = zel::make<CFleckDiskLock>(fs, diskFolder);
@ child-link-unchecked fleck/CFleckDisk.cpp
# A writer follows a child link that does not lead back.
- if (writing && !childDiskFolder.isEmpty()) {
+ if (false && writing && !childDiskFolder.isEmpty()) {
@ missing-parent-allowed fleck/CFleckDisk.cpp
# A disk whose parent is gone opens and reads zeros there.
- if (!options.allowMissingParents) {
+ if (options.allowMissingParents) {
@ any-password-accepted fleck/CFleckDisk.cpp
# The key check passes for every password.
- return keyHash(type, key) == header.getCipherKeyHash();
+ return true;
@ incremental-skips-changed fleck/ops/CImportWorker.cpp
# An incremental import skips flecks the disk has, changed or not.
- if (setup.incremental && holder.first >= 0 && digestEquals(payload, holder)) return result;
+ if (setup.incremental && holder.first >= 0) return result;
@ import-zeros-remove-file fleck/ops/CImportWorker.cpp
# Importing zeros over a parent's fleck removes the file: the parent shows through.
- result.action = holder.firstParent < 0 ? Action::RemoveFile : Action::StoreZeroRecord;
+ result.action = Action::RemoveFile;
@ sparse-export-short fleck/ops/COutputFile.cpp
# A sparse export that ends in zeros is left short.
- if (sparse && ::ftruncate(fd, position) != 0) fail("set the length of");
+ if (false && sparse && ::ftruncate(fd, position) != 0) fail("set the length of");
@ nul-password-accepted fleck/ops/CGivenPassword.cpp
# A password holding a NUL byte is cut there instead of refused.
- if (hasNul || !exact) {
+ if (!exact) {
@ store-replaces platform/zel/CLocalFileSystem.cpp
# A store that must not replace an existing file does.
- RENAME_NOREPLACE) == 0) return;
+ 0) == 0) return;
@ failed-store-leaves-temporary platform/zel/CLocalFileSystem.cpp
# A failed store leaves its temporary file behind.
- if (::unlink(temporaryPath.c_str()) != 0 && errno != ENOENT) {
+ if (false) {
@ regular-only-unchecked platform/zel/CLocalFileSystem.cpp
# A FIFO or device where a fleck file belongs is opened and read.
- if (regularOnly && !S_ISREG(info.st_mode)) throw notRegular(path);
+ if (false && regularOnly) throw notRegular(path);
@ slash-unescaped platform/zel/CURI.cpp
# A slash inside a path component is not escaped.
- if (c == L'%' || c == L'/' || (c >= 0 && c < 0x20) || c == 0x7F) {
+ if (c == L'%' || (c >= 0 && c < 0x20) || c == 0x7F) {
@ fixed-iv platform/keel/CCipher_AES256CBC.cpp
# Every record is encrypted with the same IV.
- if (ivFixed) {
+ if (true) {
@ lz4-error-ignored platform/compress/CLZ4Compressor.cpp
# A damaged LZ4 stream is not reported.
- if (written < 0) {
+ if (false) {
@ verify-damage-exit-ok tools/fleck/commands/CVerifyCommand.cpp
# `fleck verify` exits 0 although it found damage.
- return damage ? kExitDamage : kExitOk;
+ return kExitOk;
@ usage-error-exit-failure tools/fleck/CCommandLine.cpp
# A command-line error exits 1 instead of 2.
- return app->exit(e) == 0 ? kExitOk : kExitUsage;
+ return app->exit(e) == 0 ? kExitOk : kExitFailure;
@ mib-size-halved tools/fleck/CSizes.cpp
# The M suffix of a size is taken as 512 KiB.
- if (unit == "m" || unit == "mib") shift = 20;
+ if (unit == "m" || unit == "mib") shift = 19;
EOF

names=() files=() olds=() news=() whats=()
parse_table() {
  local line
  while IFS= read -r line; do
    case "$line" in
      "@ "*)
        read -r _ name file <<<"$line"
        names+=("$name") files+=("$file") olds+=("") news+=("") whats+=("")
        ;;
      "# "*) whats[-1]=${line#\# } ;;
      "- "*) olds[-1]=${line#- } ;;
      "+ "*) news[-1]=${line#+ } ;;
    esac
  done <<<"$TABLE"
}
parse_table

if [ "${1:-}" = "--list" ]; then
  for i in "${!names[@]}"; do printf '%-36s %s\n' "${names[$i]}" "${whats[$i]}"; done
  exit 0
fi

check_only=0
if [ "${1:-}" = "--check" ]; then
  check_only=1
  shift
fi
selected=()
if [ $# -eq 0 ]; then
  selected=("${!names[@]}")
else
  for want in "$@"; do
    found=""
    for i in "${!names[@]}"; do [ "${names[$i]}" = "$want" ] && found=$i; done
    [ -n "$found" ] || { echo "mutants: no fault named $want (see --list)" >&2; exit 2; }
    selected+=("$found")
  done
fi

# Every fault must apply exactly once, or the table has gone stale.
for i in "${selected[@]}"; do
  content=$(<"${files[$i]}")
  rest=${content//"${olds[$i]}"/}
  count=$(((${#content} - ${#rest}) / ${#olds[$i]}))
  if [ "$count" -ne 1 ]; then
    echo "mutants: ${names[$i]}: the text occurs $count times in ${files[$i]}" >&2
    exit 2
  fi
done

if [ "$check_only" = 1 ]; then
  echo "all ${#selected[@]} faults apply"
  exit 0
fi

scripts/install-deps.sh >/dev/null
backup_dir=$(mktemp -d /tmp/fleck-mutants.XXXXXX)
current=""
restore() {
  if [ -n "$current" ]; then
    # A fresh time stamp, so that the build sees the file change back.
    cp "$backup_dir/file" "$current"
    current=""
  fi
}
trap 'restore; rm -rf "$backup_dir"' EXIT
trap 'exit 130' INT TERM

# The release preset's settings (so that a compiler cache shares its objects), without
# the benchmarks.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLECK_WERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DFLECK_BUILD_BENCHMARKS=OFF \
  ${MUTANT_LINKER:+-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=$MUTANT_LINKER} >/dev/null
build_all() { cmake --build "$build" -j "${JOBS:-$(nproc)}" >"$build/build.log" 2>&1; }

# The test binaries, the quick ones first; any other folder's binary after them.
order=(zel keel compress fs fleck fuzz_regressions faults s3 badinput cli crash nbd)
targets=()
list_targets() {
  targets=()
  local folder path
  for folder in "${order[@]}"; do
    [ -x "$build/tests/${folder}_tests" ] && targets+=("${folder}_tests")
  done
  for path in "$build"/tests/*_tests; do
    [ -x "$path" ] || continue
    case " ${targets[*]} " in *" $(basename "$path") "*) ;; *) targets+=("$(basename "$path")") ;; esac
  done
}

# Builds and runs the binaries until one fails (each is built just before it runs, so a
# fault caught early links little); prints what caught the fault, or nothing.
export GTEST_COLOR=no
[ -n "${AWS_ENDPOINT_URL:-}" ] || export FLECK_S3_TESTS=skip
run_suite() {
  local target log status caught
  for target in "${targets[@]}"; do
    if ! cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "$target" >"$build/build.log" 2>&1; then
      echo "(does not build)"
      return
    fi
    log="$build/$target.log"
    status=0
    (cd "$build/tests" && timeout -k 10 "$timeout_s" "./$target" --gtest_brief=1) >"$log" 2>&1 ||
      status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      echo "$target (timed out)"
      return
    fi
    if [ "$status" -ne 0 ]; then
      caught=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' "$log" | grep -v ' ' | sort -u |
        head -3 | paste -sd ' ')
      echo "${caught:-$target (exit $status)}"
      return
    fi
  done
}

echo "building the unchanged tree in $build"
build_all || { echo "mutants: the unchanged tree does not build; see $build/build.log" >&2; exit 1; }
list_targets
if [ "${MUTANT_SKIP_BASELINE:-0}" != 1 ]; then
  echo "running the tests on the unchanged tree"
  baseline=$(run_suite)
  if [ -n "$baseline" ]; then
    echo "mutants: the unchanged tree fails already: $baseline" >&2
    exit 1
  fi
fi

report="$build/report.md"
{
  echo "| fault | what it stands for | caught by |"
  echo "|---|---|---|"
} >"$report"
caught_count=0
broken=0
for i in "${selected[@]}"; do
  name=${names[$i]} file=${files[$i]}
  cp -p "$file" "$backup_dir/file"
  current=$file
  content=$(<"$file")
  printf '%s\n' "${content/"${olds[$i]}"/"${news[$i]}"}" >"$file"
  result=$(run_suite)
  restore
  if [ "$result" = "(does not build)" ]; then
    broken=$((broken + 1))
  elif [ -n "$result" ]; then
    caught_count=$((caught_count + 1))
  else
    result="**not caught**"
  fi
  echo "| $name | ${whats[$i]} | $result |" >>"$report"
  printf '%-36s %s\n' "$name" "$result"
done
build_all || true
echo "caught $caught_count of ${#selected[@]}" | tee -a "$report"
# A fault that does not build is a stale entry of the table, not a catch.
[ "$broken" -eq 0 ] || { echo "mutants: $broken faults did not build" >&2; exit 1; }
