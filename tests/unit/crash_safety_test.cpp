// Killing the program at every point where it changes the machine loses no file: each old file
// is in its place or in Backup with its restore line, the restore lines bring every moved file
// back, and a second run then does the whole migration as if nothing had happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/app.h"
#include "support/killing_platform.h"
#include "support/old_machine.h"
#include "support/power_cut_platform.h"

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

// Takes what an uninterrupted run makes of the machine b->pristine.
CBaseline* Measured(CBaseline* b) {
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
    RunCheckVela(*machine.Through(counter));
    b->mutations = counter.Mutations();
  }
  return b;
}

const CBaseline& Baseline() {
  static const CBaseline* baseline = Measured(new CBaseline);
  return *baseline;
}

// The old installation with what only some servers hold: an Ini written with forward slashes
// (C:/Vela/vela.ini, which the profile functions accept), a second control file with the
// sequence number 017 and a name in capitals, a data file in a directory (S\xE3o, an a tilde) that
// code page 437 cannot spell, and a queue in such a directory. With shortNames, on a volume that
// gives those names an 8.3 form and reports directory entries in another order.
const CBaseline& VariantBaseline(bool shortNames) {
  static const auto make = [](bool withShortNames) {
    auto* b = new CBaseline;
    COldMachine& m = b->pristine;
    if (withShortNames) {
      m.UseShortNames();
    }
    m.Write("C:\\windows\\vela.ini", "[Settings]\r\nIni=C:/Vela/vela.ini\r\nVersion=2.4\r\n");
    std::string mainIni;
    m.NewPlatform()->ReadWholeFile("C:\\Vela\\vela.ini", mainIni);
    mainIni.replace(mainIni.find("5=B\xFC"
                                 "ro\r\n"),
                    7,
                    "5=B\xFC"
                    "ro\r\n6=Porto\r\n");
    m.Write("C:\\Vela\\vela.ini", mainIni + "[Porto]\r\nqueuedir=C:\\Vela\\queues\\S\xE3o\r\n");
    auto platform = m.NewPlatform();
    platform->CreateDirectoryA("C:\\Vela\\data\\S\xE3o");
    platform->CreateDirectoryA("C:\\Vela\\queues\\S\xE3o");
    m.Write("C:\\Vela\\data\\S\xE3o\\dfA016printhost", "Page sixteen\r\n\f");
    m.Write("C:\\Vela\\queues\\lp\\CF00016.INI",
            "[Settings]\r\nSeqno=017\r\nControlFileName=cfA016printhost\r\nDataFiles=1\r\n"
            "User=early\r\n[Files]\r\nFile1=ldfA016printhost\r\n"
            "Data1=C:\\Vela\\data\\S\xE3o\\dfA016printhost\r\n");
    m.Write("C:\\Vela\\queues\\S\xE3o\\queue.ini", "[Settings]\r\nPrinter=Porto\r\n");
    m.Write("C:\\Vela\\queues\\S\xE3o\\cf00030.ini",
            "[Settings]\r\nSeqno=030\r\nControlFileName=cfA030porto\r\n");
    return Measured(b);
  };
  static const CBaseline* plain = make(false);
  static const CBaseline* withShortNames = make(true);
  return shortNames ? *withShortNames : *plain;
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

// What the registry keeps of a run that dies: on the emulated machine what it held at the last
// RegFlushKey (which saves registry.reg), on Windows every key and value written before the
// death.
enum class ERegistry { kSavedAtFlushes, kWrittenAtOnce };

const char* RegistryName(ERegistry registry) {
  return registry == ERegistry::kSavedAtFlushes ? "registry saved at flushes"
                                                : "registry written at once";
}

// The change after which the registry that Windows keeps says the migration is finished: the
// deletion of the marker, the last key deleted.
size_t MarkerDeletion(const std::vector<EMutation>& mutations) {
  size_t last = 0;
  for (size_t k = 1; k <= mutations.size(); ++k) {
    if (mutations[k - 1] == EMutation::kDeleteKey) {
      last = k;
    }
  }
  return last;
}

// The run after a death ends as one uninterrupted run did. A death after the marker went, with
// the registry written at once, left a finished migration: the run after it changes nothing
// and says it was done already (and leaves in place what restore.bat brought back since).
void ExpectOneRunsResult(CRunResult result, const CBaseline& baseline, size_t killedAt,
                         ERegistry registry, bool restoredSince = false) {
  if (registry == ERegistry::kWrittenAtOnce && killedAt > MarkerDeletion(baseline.mutations)) {
    EXPECT_EQ(result.endResult, win::kIdCancel);
    EXPECT_TRUE(result.messages.empty());
    result.endResult = baseline.reference.endResult;
    result.messages = baseline.reference.messages;
    if (restoredSince) {
      result.elsewhere = baseline.reference.elsewhere;
    }
  }
  EXPECT_EQ(result, baseline.reference);
}

// Runs the program on machine and lets it die at change killAt; returns what killed it.
CKilled RunAndDie(COldMachine& machine, size_t killAt, ETear tear, ERegistry registry) {
  auto platform = machine.NewPlatform();
  CKillingPlatform killer(*platform, killAt, tear);
  try {
    RunCheckVela(*machine.Through(killer));
  } catch (const CKilled& death) {
    if (registry == ERegistry::kWrittenAtOnce) {
      std::string error;
      EXPECT_TRUE(platform->SaveRegistry(error)) << error;
    }
    return death;
  }
  ADD_FAILURE() << "the run made fewer than " << killAt << " changes";
  return {0, EMutation::kCreateKey, std::string()};
}

// Nothing is lost after a death: every old file is in its place or in Backup with its line.
void ExpectNothingLost(COldMachine& machine, const CBaseline& baseline) {
  const std::vector<std::string> lost = machine.LostFiles(baseline.original);
  EXPECT_TRUE(lost.empty()) << Join(lost);
}

// restore.bat brings every old file back byte for byte.
void ExpectRestorable(COldMachine& machine, const CBaseline& baseline) {
  const std::vector<std::string> failed = machine.RunRestoreLines();
  EXPECT_TRUE(failed.empty()) << Join(failed);
  const std::vector<std::string> missing = machine.NotRestored(baseline.original);
  EXPECT_TRUE(missing.empty()) << Join(missing);
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
  EXPECT_EQ(baseline.reference.registry.find("MigrationInProgress"), std::string::npos);
  EXPECT_EQ(baseline.reference.spool.size(), 5U);

  COldMachine machine(baseline.pristine);
  machine.RunProgram();
  const CRestoreScript script = machine.RestoreScript();
  EXPECT_TRUE(script.malformed.empty()) << Join(script.malformed);
  EXPECT_EQ(script.torn, "");
  EXPECT_EQ(script.lines.size(), 19U);
  EXPECT_FALSE(machine.Exists("drive_c/Vela/vela.ini"));
  ExpectNothingLost(machine, baseline);
  ExpectRestorable(machine, baseline);
}

TEST(CrashSafetyTest, TheRunChangesTheMachineInEveryWayThatIsKilledBelow) {
  const CBaseline& baseline = Baseline();
  const std::set<EMutation> kinds(baseline.mutations.begin(), baseline.mutations.end());
  for (const EMutation kind :
       {EMutation::kCreateKey, EMutation::kSetValue, EMutation::kCreateDirectory,
        EMutation::kCopyFile, EMutation::kCreateFile, EMutation::kWriteFile, EMutation::kDeleteFile,
        EMutation::kMoveFile, EMutation::kDeleteKey}) {
    EXPECT_EQ(kinds.count(kind), 1U) << MutationName(kind);
  }
}

// At every change, under both kinds of registry: the death loses nothing, a second run
// finishes the migration with the registry, Spool and Backup of one uninterrupted run, and
// restore.bat then brings every old file back. Writes and copies also die half done.
TEST(CrashSafetyTest, ADeathAtAnyChangeLosesNothingAndASecondRunFinishesTheMigration) {
  const CBaseline& baseline = Baseline();
  size_t tornLines = 0;
  size_t runs = 0;
  for (const ERegistry registry : {ERegistry::kSavedAtFlushes, ERegistry::kWrittenAtOnce}) {
    for (const size_t k : KillPoints(baseline.mutations)) {
      const EMutation kind = baseline.mutations[k - 1];
      std::vector<ETear> tears = {ETear::kNothing};
      if (kind == EMutation::kWriteFile || kind == EMutation::kCopyFile) {
        tears.push_back(ETear::kHalf);
      }
      for (const ETear tear : tears) {
        SCOPED_TRACE(std::string(RegistryName(registry)) + ", killed at change " +
                     std::to_string(k) + " of " + std::to_string(baseline.mutations.size()) + " (" +
                     MutationName(kind) + (tear == ETear::kHalf ? ", half done)" : ")"));
        COldMachine machine(baseline.pristine);
        const CKilled death = RunAndDie(machine, k, tear, registry);
        EXPECT_EQ(death.at, k);
        EXPECT_EQ(death.what, kind);
        // Nothing of the registry is saved before the first flush, at the end.
        if (registry == ERegistry::kSavedAtFlushes &&
            std::find(baseline.mutations.begin(), baseline.mutations.begin() + k,
                      EMutation::kFlushKey) == baseline.mutations.begin() + k) {
          EXPECT_EQ(machine.RegistryFile(), baseline.registry);
        }
        // Only a line of restore.bat is torn; restore.reg is written whole or not at all.
        if (kind == EMutation::kWriteFile && tear == ETear::kHalf &&
            death.path == COldMachine::kScript) {
          EXPECT_NE(machine.RestoreScript().torn, "");
          ++tornLines;
        }
        ExpectNothingLost(machine, baseline);
        ExpectOneRunsResult(machine.RunProgram(), baseline, k, registry);
        ExpectRestorable(machine, baseline);
        ++runs;
        if (::testing::Test::HasFailure()) {
          return;  // the first broken kill point tells enough
        }
      }
    }
  }
  RecordProperty("changes", static_cast<int>(baseline.mutations.size()));
  RecordProperty("killed_runs", static_cast<int>(runs));
  EXPECT_GT(tornLines, 5U);
  EXPECT_GT(runs, 2 * baseline.mutations.size());
}

// The other machines: what one run makes of them, and a death at every third change there.
TEST(CrashSafetyTest, OnOtherMachinesTooADeathEndsAsOneUninterruptedRun) {
  for (const bool shortNames : {false, true}) {
    SCOPED_TRACE(shortNames ? "8.3 names, another order" : "no 8.3 names");
    const CBaseline& baseline = VariantBaseline(shortNames);
    const CRunResult& one = baseline.reference;
    // The Ini with forward slashes names the configuration directory: the tables move.
    EXPECT_EQ(one.elsewhere.count("C:\\Vela\\access.ini"), 0U);
    EXPECT_NE(one.registry.find("Quillon\\Vela\\Access]"), std::string::npos);
    // Of the two jobs numbered 017, the later in name order has the list entry.
    EXPECT_NE(one.registry.find("\"017\"=\"cfA017printhost\""), std::string::npos);
    const std::string script = one.backup.at(COldMachine::kScript);
    if (shortNames) {
      // Short lines for cmd, long paths for later runs.
      EXPECT_NE(script.find("rem CheckVela: long path \"C:\\Vela\\queues\\S%E3o\\queue.ini\""),
                std::string::npos);
      EXPECT_NE(script.find("if not exist \"C:\\Vela\\data\\SO~1\\dfA016printhost\""),
                std::string::npos);
      EXPECT_EQ(one.elsewhere.count("C:\\Vela\\queues\\S\xE3o\\queue.ini"), 0U);
    } else {
      // cmd cannot spell them: the queue's files stay, the Spool copy is recorded.
      EXPECT_EQ(one.messages.size(), 4U);
      EXPECT_NE(script.find("rem CheckVela: spool copy \"C:\\Program Files\\Vela\\Spool\\"
                            "dfA016printhost\" \"C:\\Vela\\data\\S%E3o\\dfA016printhost\""),
                std::string::npos);
    }
    for (const ERegistry registry : {ERegistry::kSavedAtFlushes, ERegistry::kWrittenAtOnce}) {
      for (size_t k = 1; k <= baseline.mutations.size(); k += 3) {
        SCOPED_TRACE(std::string(RegistryName(registry)) + ", killed at change " +
                     std::to_string(k) + " (" + MutationName(baseline.mutations[k - 1]) + ")");
        COldMachine machine(baseline.pristine);
        RunAndDie(machine, k, ETear::kNothing, registry);
        ExpectNothingLost(machine, baseline);
        ExpectOneRunsResult(machine.RunProgram(), baseline, k, registry);
        if (::testing::Test::HasFailure()) {
          return;
        }
      }
    }
  }
}

// Going back first (restore.bat run after the death) and then running again also ends as one
// uninterrupted run.
TEST(CrashSafetyTest, RestoringAfterADeathAndRunningAgainFinishesTheMigration) {
  const CBaseline& baseline = Baseline();
  for (const ERegistry registry : {ERegistry::kSavedAtFlushes, ERegistry::kWrittenAtOnce}) {
    for (size_t k = 1; k <= baseline.mutations.size(); k += 5) {
      SCOPED_TRACE(std::string(RegistryName(registry)) + ", killed at change " + std::to_string(k));
      COldMachine machine(baseline.pristine);
      RunAndDie(machine, k, ETear::kNothing, registry);
      ExpectRestorable(machine, baseline);
      ExpectOneRunsResult(machine.RunProgram(), baseline, k, registry, true);
      if (::testing::Test::HasFailure()) {
        return;
      }
    }
  }
}

// A run that dies, a second run that dies too, and a third one that finishes.
TEST(CrashSafetyTest, TwoDeathsInARowStillEndAsOneUninterruptedRun) {
  const CBaseline& baseline = Baseline();
  for (const ERegistry registry : {ERegistry::kSavedAtFlushes, ERegistry::kWrittenAtOnce}) {
    for (size_t first = 3; first < baseline.mutations.size(); first += 23) {
      for (const size_t second : {size_t{1}, size_t{4}, first / 2 + 1, first + 7}) {
        SCOPED_TRACE(std::string(RegistryName(registry)) + ", killed at change " +
                     std::to_string(first) + ", then at change " + std::to_string(second) +
                     " of the second run");
        COldMachine machine(baseline.pristine);
        RunAndDie(machine, first, ETear::kHalf, registry);
        {
          auto platform = machine.NewPlatform();
          CKillingPlatform killer(*platform, second, ETear::kHalf);
          try {
            RunCheckVela(killer);
            continue;  // the second run needed fewer changes: it finished
          } catch (const CKilled&) {
            if (registry == ERegistry::kWrittenAtOnce) {
              std::string error;
              EXPECT_TRUE(platform->SaveRegistry(error)) << error;
            }
          }
        }
        ExpectNothingLost(machine, baseline);
        // The second death came before the marker went: its run had not finished.
        ExpectOneRunsResult(machine.RunProgram(), baseline, 0, registry);
        ExpectRestorable(machine, baseline);
        if (::testing::Test::HasFailure()) {
          return;
        }
      }
    }
  }
}

// A finished migration run again changes nothing: no registry value, no file, no line.
TEST(CrashSafetyTest, AFinishedMigrationRunAgainChangesNothing) {
  const CBaseline& baseline = Baseline();
  COldMachine machine(baseline.pristine);
  machine.RunProgram();
  const CMachineFiles files = machine.Files();
  CRunResult again = machine.RunProgram();
  EXPECT_EQ(again.endResult, win::kIdCancel);
  EXPECT_TRUE(again.messages.empty());
  again.endResult = baseline.reference.endResult;
  again.messages = baseline.reference.messages;
  EXPECT_EQ(again, baseline.reference);
  EXPECT_EQ(machine.Files(), files);
}

// ---- Saving the emulated registry: through a temporary file that replaces the old one.

// A platform whose registry flushes save nothing, so that a test saves the registry itself.
class CUnflushedRegistry : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  win::LONG RegFlushKey(win::HKEY /*key*/) override { return win::kErrorSuccess; }
};

// Runs the whole program on machine without saving the registry, then saves it in a child
// process that dies (or, with ignoreLimit, gets an error) once the file it writes reaches
// limit bytes. Returns the child's wait status.
int RunAndSaveWithFileLimit(COldMachine& machine, rlim_t limit, bool ignoreLimit) {
  auto platform = machine.NewPlatform();
  CUnflushedRegistry quiet(*platform);
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
    // Every converted file is in Backup with its line, and restoring brings it back. (The
    // program itself saves the registry at its flushes, before restore.bat says the run ended.)
    const std::vector<std::string> lost = machine.LostFiles(baseline.original);
    EXPECT_TRUE(lost.empty()) << Join(lost);
    EXPECT_EQ(fs::file_size(fs::path(machine.Root()) / "registry.reg.tmp"), limit);
    ExpectRestorable(machine, baseline);
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
  CUnflushedRegistry quiet(*platform);
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

// ---- A power cut: the process dies, and the disk loses what the system had not written yet.

namespace power {

const EDataLoss kDataModes[] = {EDataLoss::kZeros, EDataLoss::kDropped, EDataLoss::kTorn};
const EMetadataLoss kMetadataModes[] = {EMetadataLoss::kJournaled, EMetadataLoss::kListings};
const ERegistryLoss kRegistryModes[] = {ERegistryLoss::kLastFlush, ERegistryLoss::kAtCut};

std::string ModesName(const CCutModes& modes) {
  static const char* const kData[] = {"unflushed data as zeros", "unflushed data dropped",
                                      "last writes torn"};
  return std::string(kData[static_cast<int>(modes.data)]) +
         (modes.metadata == EMetadataLoss::kListings ? ", unflushed listings back" : "") +
         (modes.registry == ERegistryLoss::kAtCut ? ", registry as at the cut"
                                                  : ", registry as at its last flush");
}

// A program that flushes nothing: what the double sees when every flush is left out.
class CNoFlushes : public CPlatformProxy {
 public:
  using CPlatformProxy::CPlatformProxy;
  bool FlushFiles(const std::vector<std::string>& /*paths*/) override { return true; }
  win::LONG RegFlushKey(win::HKEY /*key*/) override { return win::kErrorSuccess; }
  std::unique_ptr<CWriteFile> CreateWriteFile(const char* path) override {
    return Unflushed(CPlatformProxy::CreateWriteFile(path));
  }
  std::unique_ptr<CWriteFile> OpenAppendFile(const char* path) override {
    return Unflushed(CPlatformProxy::OpenAppendFile(path));
  }

 private:
  class CFile : public CWriteFile {
   public:
    explicit CFile(std::unique_ptr<CWriteFile> inner) : inner_(std::move(inner)) {}
    bool Write(const void* data, win::DWORD size) override { return inner_->Write(data, size); }
    bool Truncate(std::uint64_t size) override { return inner_->Truncate(size); }
    bool Flush() override { return true; }
    bool Close() override { return inner_->Close(); }

   private:
    std::unique_ptr<CWriteFile> inner_;
  };
  static std::unique_ptr<CWriteFile> Unflushed(std::unique_ptr<CWriteFile> file) {
    return file ? std::make_unique<CFile>(std::move(file)) : nullptr;
  }
};

// The changes of an uninterrupted run as the double counts them, flushes included.
std::vector<EMutation> Changes(const CBaseline& baseline) {
  COldMachine machine(baseline.pristine);
  auto platform = machine.NewPlatform();
  CPowerCutPlatform counter(*platform, 0);
  RunCheckVela(*machine.Through(counter));
  return counter.Mutations();
}

const std::vector<EMutation>& Changes() {
  static const std::vector<EMutation> changes = Changes(Baseline());
  return changes;
}

// Cuts the run on machine before change cutBefore (0: right after it ended), or the same run
// without its flushes, and gives the machine the disk the modes say.
void RunAndCut(COldMachine& machine, size_t cutBefore, const CCutModes& modes,
               bool withFlushes = true) {
  auto platform = machine.NewPlatform();
  CPowerCutPlatform cut(*platform, cutBefore);
  CNoFlushes careless(cut);
  try {
    RunCheckVela(*machine.Through(withFlushes ? static_cast<CPlatform&>(cut) : careless));
    EXPECT_EQ(cutBefore, 0U) << "the run made fewer changes";
  } catch (const CKilled&) {
  }
  cut.ApplyCut(modes);
}

// The cut points to try: every one in the harshest modes, every 4th (and the last ones) in the
// others.
std::vector<size_t> CutPoints(const CCutModes& modes) {
  const bool harshest = modes.data == EDataLoss::kZeros &&
                        modes.metadata == EMetadataLoss::kListings &&
                        modes.registry == ERegistryLoss::kLastFlush;
  std::vector<size_t> points;
  const size_t count = Changes().size();
  for (size_t k = 1; k <= count; ++k) {
    if (harshest || k % 4 == 1 || k + 8 > count) {
      points.push_back(k);
    }
  }
  points.push_back(0);  // right after the run ended
  return points;
}

// At every cut point, in every mode: nothing is lost right after the cut (every old file in
// its place with its bytes, or a byte-identical copy with its restore line), and the run after
// it ends with the registry, Spool, Backup, restore.bat and restore.reg of one uninterrupted
// run. The marker or the end of the run may have reached the disk: then the run after the cut
// finds a finished migration.
TEST(PowerCutTest, ACutAtAnyChangeLosesNothingAndTheNextRunEndsAsOneUninterruptedRun) {
  const CBaseline& baseline = Baseline();
  size_t runs = 0;
  for (const EDataLoss data : kDataModes) {
    for (const EMetadataLoss metadata : kMetadataModes) {
      for (const ERegistryLoss registry : kRegistryModes) {
        const CCutModes modes{data, metadata, registry};
        for (const size_t k : CutPoints(modes)) {
          SCOPED_TRACE(ModesName(modes) + ", cut " +
                       (k == 0 ? "after the run"
                               : "before change " + std::to_string(k) + " of " +
                                     std::to_string(Changes().size()) + " (" +
                                     MutationName(Changes()[k - 1]) + ")"));
          COldMachine machine(baseline.pristine);
          RunAndCut(machine, k, modes);
          ExpectNothingLost(machine, baseline);
          CRunResult again = machine.RunProgram();
          if (k == 0) {
            // The window closed on a finished migration, and that is on the disk.
            EXPECT_EQ(again.endResult, win::kIdCancel);
            EXPECT_TRUE(again.messages.empty());
          }
          if (again.endResult == win::kIdCancel && again.messages.empty()) {
            // A finished migration: the cut came after its last registry change reached the
            // disk.
            again.endResult = baseline.reference.endResult;
            again.messages = baseline.reference.messages;
          }
          EXPECT_EQ(again, baseline.reference);
          ++runs;
          if (::testing::Test::HasFailure()) {
            return;  // the first broken cut point tells enough
          }
        }
      }
    }
  }
  RecordProperty("cut_runs", static_cast<int>(runs));
}

// The double can fail: the same run without its flushes loses old files under it, where the
// file system keeps the deletes of the originals but not the data of their copies.
TEST(PowerCutTest, TheSameRunWithoutItsFlushesLosesFiles) {
  const CBaseline& baseline = Baseline();
  for (const EDataLoss data : kDataModes) {
    const CCutModes modes{data, EMetadataLoss::kJournaled, ERegistryLoss::kLastFlush};
    SCOPED_TRACE(ModesName(modes));
    COldMachine machine(baseline.pristine);
    RunAndCut(machine, 0, modes, false);
    const std::vector<std::string> lost = machine.LostFiles(baseline.original);
    EXPECT_FALSE(lost.empty());
    // The first loss: the Windows-directory vela.ini, whose only copy is not on the disk.
    EXPECT_TRUE(std::any_of(lost.begin(), lost.end(), [](const std::string& entry) {
      return entry.rfind("C:\\windows\\vela.ini:", 0) == 0;
    })) << Join(lost);
  }
}

// The other machines, in the harshest modes and in torn writes with the registry as at the
// cut, at every second change.
TEST(PowerCutTest, OnOtherMachinesTooACutLosesNothingAndTheNextRunEndsAsOneRun) {
  for (const bool shortNames : {false, true}) {
    const CBaseline& baseline = VariantBaseline(shortNames);
    const std::vector<EMutation> changes = Changes(baseline);
    for (const CCutModes& modes :
         {CCutModes{EDataLoss::kZeros, EMetadataLoss::kListings, ERegistryLoss::kLastFlush},
          CCutModes{EDataLoss::kTorn, EMetadataLoss::kJournaled, ERegistryLoss::kAtCut}}) {
      for (size_t k = 1; k <= changes.size() + 1; k += 2) {
        const size_t cut = k > changes.size() ? 0 : k;
        SCOPED_TRACE(std::string(shortNames ? "8.3 names, " : "") + ModesName(modes) +
                     ", cut before change " + std::to_string(cut));
        COldMachine machine(baseline.pristine);
        RunAndCut(machine, cut, modes);
        ExpectNothingLost(machine, baseline);
        CRunResult again = machine.RunProgram();
        if (again.endResult == win::kIdCancel && again.messages.empty()) {
          again.endResult = baseline.reference.endResult;
          again.messages = baseline.reference.messages;
        }
        EXPECT_EQ(again, baseline.reference);
        if (::testing::Test::HasFailure()) {
          return;
        }
      }
    }
  }
}

}  // namespace power
