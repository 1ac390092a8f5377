// Killing the program at every point where it changes the machine loses no file: each old file
// is in its place or in Backup with its restore line, the restore lines bring every moved file
// back, and a second run then does the whole migration as if nothing had happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "app/app.h"
#include "support/killing_platform.h"
#include "support/old_machine.h"

namespace {

namespace fs = std::filesystem;

// The old installation before any run, and what an uninterrupted run makes of it.
struct CBaseline {
  COldMachine pristine;
  CMachineFiles original;
  std::string registry;
  CRunResult reference;
  std::vector<EMutation> mutations;  // of an uninterrupted run, in order
};

const CBaseline& Baseline() {
  static const CBaseline* baseline = [] {
    auto* b = new CBaseline;
    b->original = b->pristine.Files();
    b->registry = b->pristine.RegistryFile();
    {
      COldMachine machine(b->pristine);
      b->reference = machine.RunProgram();
    }
    {
      COldMachine machine(b->pristine);
      auto platform = machine.NewPlatform();
      CKillingPlatform counter(*platform, 0);
      RunCheckVela(counter);
      b->mutations = counter.Mutations();
    }
    return b;
  }();
  return *baseline;
}

// The kill points to try: all of them for a short run; for a long one every one of the first
// 200, then every 7th, and always the first of each kind and the last.
std::vector<size_t> KillPoints(const std::vector<EMutation>& mutations) {
  std::set<size_t> points;
  std::set<EMutation> seen;
  for (size_t k = 1; k <= mutations.size(); ++k) {
    if (k <= 200 || k % 7 == 0 || k == mutations.size() || seen.count(mutations[k - 1]) == 0) {
      points.insert(k);
    }
    seen.insert(mutations[k - 1]);
  }
  return {points.begin(), points.end()};
}

// Everything that must hold after the process died at some point of a run on machine.
// A death while saving the registry may leave its temporary file; the next save replaces it.
void ExpectRecoverable(COldMachine& machine, const CBaseline& baseline,
                       bool diedWhileSaving = false) {
  // The emulated registry is saved only at the very end: after a death it is the old file.
  EXPECT_EQ(machine.RegistryFile(), baseline.registry);
  if (!diedWhileSaving) {
    EXPECT_FALSE(machine.Exists("registry.reg.tmp"));
  }

  const std::vector<std::string> lost = machine.LostFiles(baseline.original);
  EXPECT_TRUE(lost.empty()) << Join(lost);

  const std::vector<std::string> failed = machine.RunRestoreLines();
  EXPECT_TRUE(failed.empty()) << Join(failed);
  const std::vector<std::string> missing = machine.NotRestored(baseline.original);
  EXPECT_TRUE(missing.empty()) << Join(missing);

  EXPECT_EQ(machine.RunProgram(), baseline.reference);
}

TEST(CrashSafetyTest, AnUninterruptedRunMovesEveryConvertedFileAndCanBeUndone) {
  const CBaseline& baseline = Baseline();
  EXPECT_EQ(baseline.reference.endResult, win::kIdOk);
  EXPECT_EQ(baseline.reference.messages,
            (std::vector<std::string>{
                "Queue archive: directory 'C:\\Vela\\queues\\archive' does not exist!",
                "Queue noconfig: config file 'C:\\Vela\\queues\\noconfig\\queue.ini' does not "
                "exist!"}));
  EXPECT_NE(baseline.reference.registry, baseline.registry);
  EXPECT_EQ(baseline.reference.spool.size(), 5U);

  COldMachine machine(baseline.pristine);
  machine.RunProgram();
  const CRestoreScript script = machine.RestoreScript();
  EXPECT_TRUE(script.malformed.empty()) << Join(script.malformed);
  EXPECT_EQ(script.torn, "");
  EXPECT_EQ(script.lines.size(), 19U);
  EXPECT_FALSE(machine.Exists("drive_c/Vela/vela.ini"));
  const std::vector<std::string> lost = machine.LostFiles(baseline.original);
  EXPECT_TRUE(lost.empty()) << Join(lost);
  const std::vector<std::string> failed = machine.RunRestoreLines();
  EXPECT_TRUE(failed.empty()) << Join(failed);
  const std::vector<std::string> missing = machine.NotRestored(baseline.original);
  EXPECT_TRUE(missing.empty()) << Join(missing);
}

TEST(CrashSafetyTest, TheRunChangesTheMachineInEveryWayThatIsKilledBelow) {
  const CBaseline& baseline = Baseline();
  const std::set<EMutation> kinds(baseline.mutations.begin(), baseline.mutations.end());
  for (const EMutation kind :
       {EMutation::kCreateKey, EMutation::kSetValue, EMutation::kCreateDirectory,
        EMutation::kCopyFile, EMutation::kCreateFile, EMutation::kWriteFile, EMutation::kDeleteFile,
        EMutation::kMoveFile}) {
    EXPECT_EQ(kinds.count(kind), 1U) << MutationName(kind);
  }
}

TEST(CrashSafetyTest, ADeathAtAnyChangeLosesNothingAndASecondRunCompletes) {
  const CBaseline& baseline = Baseline();
  size_t tornLines = 0;
  size_t runs = 0;
  for (const size_t k : KillPoints(baseline.mutations)) {
    const EMutation kind = baseline.mutations[k - 1];
    std::vector<ETear> tears = {ETear::kNothing};
    if (kind == EMutation::kWriteFile || kind == EMutation::kCopyFile) {
      tears.push_back(ETear::kHalf);
    }
    for (const ETear tear : tears) {
      SCOPED_TRACE("killed at change " + std::to_string(k) + " of " +
                   std::to_string(baseline.mutations.size()) + " (" + MutationName(kind) +
                   (tear == ETear::kHalf ? ", half done)" : ")"));
      COldMachine machine(baseline.pristine);
      bool scriptWrite = false;  // the fatal call wrote to restore.bat
      {
        auto platform = machine.NewPlatform();
        CKillingPlatform killer(*platform, k, tear);
        bool killed = false;
        try {
          RunCheckVela(killer);
        } catch (const CKilled& death) {
          killed = true;
          EXPECT_EQ(death.at, k);
          EXPECT_EQ(death.what, kind);
          scriptWrite = death.path == COldMachine::kScript;
        }
        ASSERT_TRUE(killed);
      }  // the process is gone; nothing saved its registry
      if (kind == EMutation::kWriteFile && tear == ETear::kHalf && scriptWrite) {
        EXPECT_NE(machine.RestoreScript().torn, "");
        ++tornLines;
      }
      ExpectRecoverable(machine, baseline);
      ++runs;
      if (HasFailure()) {
        return;  // the first broken kill point tells enough
      }
    }
  }
  RecordProperty("changes", static_cast<int>(baseline.mutations.size()));
  RecordProperty("killed_runs", static_cast<int>(runs));
  EXPECT_GT(tornLines, 10U);
  EXPECT_GT(runs, baseline.mutations.size());
}

// ---- Saving the emulated registry: through a temporary file that replaces the old one.

// Runs the whole program on machine without saving the registry, then saves it in a child
// process that dies (or, with ignoreLimit, gets an error) once the file it writes reaches
// limit bytes. Returns the child's wait status.
int RunAndSaveWithFileLimit(COldMachine& machine, rlim_t limit, bool ignoreLimit) {
  auto platform = machine.NewPlatform();
  CPlatformProxy quiet(*platform);
  RunCheckVela(quiet);
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    const rlimit size = {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &size);
    ::signal(SIGXFSZ, ignoreLimit ? SIG_IGN : SIG_DFL);
    std::string error;
    ::_exit(platform->SaveRegistry(error) ? 0 : 3);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(CrashSafetyTest, ADeathWhileSavingTheRegistryLeavesTheOldFileWhole) {
  const CBaseline& baseline = Baseline();
  const size_t size = baseline.reference.registry.size();
  for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t(size / 2), rlim_t(size - 1)}) {
    SCOPED_TRACE("dies after " + std::to_string(limit) + " of " + std::to_string(size) + " bytes");
    COldMachine machine(baseline.pristine);
    const int status = RunAndSaveWithFileLimit(machine, limit, false);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(machine.RegistryFile(), baseline.registry);
    // Every converted file is in Backup with its line; restoring and running again completes.
    const std::vector<std::string> lost = machine.LostFiles(baseline.original);
    EXPECT_TRUE(lost.empty()) << Join(lost);
    EXPECT_EQ(fs::file_size(fs::path(machine.Root()) / "registry.reg.tmp"), limit);
    ExpectRecoverable(machine, baseline, true);
    EXPECT_FALSE(machine.Exists("registry.reg.tmp"));
  }
}

TEST(CrashSafetyTest, AFailedRegistryWriteKeepsTheOldFileAndRemovesTheTemporaryOne) {
  const CBaseline& baseline = Baseline();
  COldMachine machine(baseline.pristine);
  const int status = RunAndSaveWithFileLimit(machine, baseline.reference.registry.size() / 2, true);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(machine.RegistryFile(), baseline.registry);
  EXPECT_FALSE(machine.Exists("registry.reg.tmp"));
}

TEST(CrashSafetyTest, AnUncreatableTemporaryFileKeepsTheOldRegistry) {
  const CBaseline& baseline = Baseline();
  COldMachine machine(baseline.pristine);
  fs::create_directory(fs::path(machine.Root()) / "registry.reg.tmp");
  auto platform = machine.NewPlatform();
  CPlatformProxy quiet(*platform);
  RunCheckVela(quiet);
  std::string error;
  EXPECT_FALSE(platform->SaveRegistry(error));
  EXPECT_NE(error.find("registry.reg.tmp"), std::string::npos) << error;
  EXPECT_EQ(machine.RegistryFile(), baseline.registry);
}

TEST(CrashSafetyTest, ACompleteSaveReplacesTheFileAndLeavesNoTemporaryOne) {
  const CBaseline& baseline = Baseline();
  COldMachine machine(baseline.pristine);
  const int status = RunAndSaveWithFileLimit(machine, RLIM_INFINITY, false);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(machine.RegistryFile(), baseline.reference.registry);
  EXPECT_FALSE(machine.Exists("registry.reg.tmp"));
}

}  // namespace
