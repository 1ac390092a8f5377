// The power-cut double itself: short hand-made sequences of platform calls, a cut, and what the
// disk then holds in each mode.
#include "support/power_cut_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "app/app.h"
#include "support/old_machine.h"

namespace {

const char* const kWork = "C:\\Vela\\data";  // a directory of the old installation
const char* const kSource = "C:\\Vela\\data\\source.bin";
const char* const kCopy = "C:\\Vela\\data\\copy.bin";
const std::string kBytes(1300, 'x');

const EDataLoss kDataModes[] = {EDataLoss::kZeros, EDataLoss::kDropped, EDataLoss::kTorn};
const EMetadataLoss kMetadataModes[] = {EMetadataLoss::kJournaled, EMetadataLoss::kListings};

// An old installation plus source.bin, laid out before the run (durable), and the double
// around a new process's platform.
struct CScene {
  explicit CScene(size_t cutBefore = 0) {
    auto file = platform->CreateWriteFile(kSource);
    file->Write(kBytes.data(), static_cast<win::DWORD>(kBytes.size()));
    file->Close();
    cut = std::make_unique<CPowerCutPlatform>(*platform, cutBefore);
  }
  // A file after the cut, as a new process reads it; nullopt when it is missing.
  std::optional<std::string> Read(const char* path) {
    std::string bytes;
    return machine.NewPlatform()->ReadWholeFile(path, bytes) ? std::optional(bytes) : std::nullopt;
  }
  void Write(CWriteFile& file, char c, size_t size) {
    ASSERT_TRUE(file.Write(std::string(size, c).data(), static_cast<win::DWORD>(size)));
  }
  COldMachine machine;
  std::unique_ptr<CEmulatedPlatform> platform = machine.NewPlatform();
  std::unique_ptr<CPowerCutPlatform> cut;
};

std::string Zeros(size_t size) {
  return std::string(size, '\0');
}

// copy.bin and flushed.bin are both listed in their directory; only flushed.bin's data is
// flushed. kBytes is two whole sectors and part of a third.
TEST(PowerCutDataTest, AnUnflushedCopyReadsAsZerosIsEmptyOrIsTornAtTheSectorAFlushedOneIsWhole) {
  const char* const flushedCopy = "C:\\Vela\\data\\flushed.bin";
  const std::string expected[] = {Zeros(1300), "", std::string(1024, 'x') + Zeros(276)};
  for (size_t mode = 0; mode < 3; ++mode) {
    for (const EMetadataLoss metadata : kMetadataModes) {
      SCOPED_TRACE(std::to_string(mode) + std::to_string(static_cast<int>(metadata)));
      CScene scene;
      ASSERT_TRUE(scene.cut->CopyFileA(kSource, kCopy, true));
      ASSERT_TRUE(scene.cut->CopyFileA(kSource, flushedCopy, true));
      ASSERT_TRUE(scene.cut->FlushFiles({flushedCopy, kWork}));
      scene.cut->ApplyCut({kDataModes[mode], metadata});
      EXPECT_EQ(scene.Read(kCopy), expected[mode]);
      EXPECT_EQ(scene.Read(flushedCopy), kBytes);
      EXPECT_EQ(scene.Read(kSource), kBytes);
    }
  }
}

// 600 bytes flushed, cut back to 500, then 200 and 700 more: the last write spans the sector
// boundary at 1024.
TEST(PowerCutDataTest, WritesAfterTheLastFlushAreLostAsTheModeSaysAndFlushedBytesStay) {
  const std::string kept(500, 'a');
  const std::string expected[] = {
      kept + Zeros(900), std::string(600, 'a'),
      kept + std::string(200, 'b') + std::string(324, 'c') + Zeros(376)};
  for (size_t mode = 0; mode < 3; ++mode) {
    CScene scene;
    auto file = scene.cut->OpenAppendFile(kCopy);
    scene.Write(*file, 'a', 600);
    ASSERT_TRUE(file->Flush());
    ASSERT_TRUE(file->Truncate(500));
    scene.Write(*file, 'b', 200);
    scene.Write(*file, 'c', 700);
    ASSERT_TRUE(file->Close());
    scene.cut->ApplyCut({kDataModes[mode]});
    EXPECT_EQ(scene.Read(kCopy), expected[mode]) << "data mode " << mode;
  }
}

// copy.bin is made (its data flushed) and an old file deleted, in the same directory.
TEST(PowerCutMetadataTest, NamesPersistJournaledOrOnceTheirDirectoryIsFlushedElseGoBack) {
  const char* const old = "C:\\Vela\\data\\dfA019printhost";
  for (const bool flushDirectory : {false, true}) {
    for (const EMetadataLoss metadata : kMetadataModes) {
      SCOPED_TRACE(std::to_string(flushDirectory) + std::to_string(static_cast<int>(metadata)));
      CScene scene;
      const std::optional<std::string> oldBytes = scene.Read(old);
      ASSERT_TRUE(scene.cut->CopyFileA(kSource, kCopy, true));
      ASSERT_TRUE(scene.cut->FlushFiles({kCopy}));
      ASSERT_TRUE(scene.cut->DeleteFileA(old));
      ASSERT_TRUE(!flushDirectory || scene.cut->FlushFiles({kWork}));
      scene.cut->ApplyCut({EDataLoss::kZeros, metadata});
      const bool persist = flushDirectory || metadata == EMetadataLoss::kJournaled;
      EXPECT_EQ(scene.Read(kCopy), persist ? std::optional(kBytes) : std::nullopt);
      EXPECT_EQ(scene.Read(old), persist ? std::nullopt : oldBytes);
    }
  }
}

TEST(PowerCutMetadataTest, ACreatedDirectoryVanishesWithWhatIsInIt) {
  CScene scene;
  ASSERT_TRUE(scene.cut->CreateDirectoryA("C:\\Vela\\new"));
  ASSERT_TRUE(scene.cut->CopyFileA(kSource, "C:\\Vela\\new\\copy.bin", true));
  ASSERT_TRUE(scene.cut->FlushFiles({"C:\\Vela\\new\\copy.bin", "C:\\Vela\\new"}));
  scene.cut->ApplyCut({EDataLoss::kZeros, EMetadataLoss::kListings});
  EXPECT_FALSE(scene.machine.Exists("drive_c/Vela/new"));
  EXPECT_TRUE(scene.machine.Exists("drive_c/Vela/data"));
}

// tmp.bin is written (its data flushed or not) and listed, then renamed over copy.bin ("old").
TEST(PowerCutMetadataTest, ARenameCarriesTheFilesFlushStateOrGoesBackInAnUnflushedListing) {
  const char* const tmp = "C:\\Vela\\data\\tmp.bin";
  for (const bool flushData : {false, true}) {
    for (const EMetadataLoss metadata : kMetadataModes) {
      SCOPED_TRACE(std::to_string(flushData) + std::to_string(static_cast<int>(metadata)));
      CScene scene;
      auto old = scene.platform->CreateWriteFile(kCopy);
      old->Write("old", 3);
      old->Close();
      auto file = scene.cut->CreateWriteFile(tmp);
      scene.Write(*file, 't', 20);
      ASSERT_TRUE(!flushData || file->Flush());
      file->Close();
      ASSERT_TRUE(scene.cut->FlushFiles({kWork}));
      ASSERT_TRUE(scene.cut->MoveFileExA(tmp, kCopy, true));
      scene.cut->ApplyCut({EDataLoss::kDropped, metadata});
      const std::optional<std::string> data = flushData ? std::string(20, 't') : "";
      const bool journaled = metadata == EMetadataLoss::kJournaled;
      EXPECT_EQ(scene.Read(kCopy), journaled ? data : "old");
      EXPECT_EQ(scene.Read(tmp), journaled ? std::nullopt : data);
    }
  }
}

TEST(PowerCutRegistryTest, TheHiveIsAsOfTheLastFlushOrAsOfTheCut) {
  for (const ERegistryLoss registry : {ERegistryLoss::kLastFlush, ERegistryLoss::kAtCut}) {
    CScene scene;
    win::HKEY key = 0;
    ASSERT_EQ(scene.cut->RegCreateKeyExA(win::kHkeyLocalMachine, "SOFTWARE\\Cut", &key), 0);
    const auto* one = reinterpret_cast<const unsigned char*>("1");
    ASSERT_EQ(scene.cut->RegSetValueExA(key, "flushed", win::kRegSz, one, 2), 0);
    ASSERT_EQ(scene.cut->RegFlushKey(key), 0);
    ASSERT_EQ(scene.cut->RegSetValueExA(key, "late", win::kRegSz, one, 2), 0);
    scene.cut->ApplyCut({EDataLoss::kZeros, EMetadataLoss::kJournaled, registry});
    const std::string hive = scene.machine.RegistryFile();
    EXPECT_NE(hive.find("\"flushed\""), std::string::npos) << hive;
    EXPECT_EQ(hive.find("\"late\"") != std::string::npos, registry == ERegistryLoss::kAtCut);
  }
}

// create, write, Flush, FlushFiles: changes 1 to 4. Cut before k: change k is not made.
TEST(PowerCutCountingTest, FlushesCountAsChangesSoThatACutFallsBeforeOrAfterOne) {
  auto run = [](CPlatform& platform) {
    auto file = platform.CreateWriteFile(kCopy);
    file->Write(kBytes.data(), static_cast<win::DWORD>(kBytes.size()));
    file->Flush();
    file->Close();
    platform.FlushFiles({kWork});
  };
  CScene counting;
  run(*counting.cut);
  EXPECT_EQ(counting.cut->Mutations(),
            (std::vector<EMutation>{EMutation::kCreateFile, EMutation::kWriteFile,
                                    EMutation::kFlushFile, EMutation::kFlushFiles}));
  // Journaled: the name is there from change 2 on, its bytes once change 3 is made. Listings:
  // only the directory's flush, change 4, keeps the name.
  const std::optional<std::string> none;
  const std::optional<std::string> expected[2][5] = {{none, "", "", kBytes, kBytes},
                                                     {none, none, none, none, kBytes}};
  for (const EMetadataLoss metadata : kMetadataModes) {
    for (size_t k = 1; k <= 5; ++k) {
      CScene scene(k);
      try {
        run(*scene.cut);
        EXPECT_EQ(k, 5U);
      } catch (const CKilled& cut) {
        EXPECT_EQ(cut.at, k);
      }
      scene.cut->ApplyCut({EDataLoss::kDropped, metadata});
      EXPECT_EQ(scene.Read(kCopy), expected[static_cast<int>(metadata)][k - 1])
          << "cut before change " << k << ", metadata mode " << static_cast<int>(metadata);
    }
  }
}

// A whole run of the program through a double that never cuts or kills; its changes.
template <typename Double>
std::vector<EMutation> RunUncut(COldMachine& machine) {
  auto platform = machine.NewPlatform();
  Double counter(*platform, 0);
  RunCheckVela(counter);
  std::string error;
  EXPECT_TRUE(platform->SaveRegistry(error)) << error;
  return counter.Mutations();
}

// Uncut, the double is not seen: a whole run of the program ends as without it, and counts the
// killer's changes plus the flushes.
TEST(PowerCutCountingTest, AnUncutRunOfTheProgramEndsAsWithoutTheDouble) {
  COldMachine pristine;
  COldMachine killable(pristine);
  COldMachine cuttable(pristine);
  const std::vector<EMutation> killerCounts = RunUncut<CKillingPlatform>(killable);
  std::vector<EMutation> cutCounts = RunUncut<CPowerCutPlatform>(cuttable);
  EXPECT_EQ(cuttable.Files(), killable.Files());
  EXPECT_EQ(cuttable.RegistryFile(), killable.RegistryFile());
  std::erase_if(cutCounts, [](EMutation m) {
    return m == EMutation::kFlushFiles || m == EMutation::kFlushFile;
  });
  EXPECT_EQ(cutCounts, killerCounts);
  EXPECT_GT(killerCounts.size(), 100U);
}

// A "move" into Backup done as copy and delete: without a flush the disk may keep the delete
// but not the copy's bytes; with the copy and its directory flushed first, nothing is lost.
TEST(PowerCutCarelessProgramTest, ACopyAndDeleteWithoutFlushLosesTheFile) {
  const char* const from = "C:\\Vela\\vela.ini";
  const char* const to = "C:\\Vela\\data\\vela.ini";
  for (const bool careful : {false, true}) {
    for (const EDataLoss data : kDataModes) {
      for (const EMetadataLoss metadata : kMetadataModes) {
        SCOPED_TRACE(std::to_string(careful) + std::to_string(static_cast<int>(data)) +
                     std::to_string(static_cast<int>(metadata)));
        CScene scene;
        const std::optional<std::string> original = scene.Read(from);
        ASSERT_TRUE(scene.cut->CopyFileA(from, to, false));
        ASSERT_TRUE(!careful || scene.cut->FlushFiles({to, kWork}));
        ASSERT_TRUE(scene.cut->DeleteFileA(from));
        scene.cut->ApplyCut({data, metadata});
        const bool kept = scene.Read(from) == original || scene.Read(to) == original;
        // Careless, only a directory that forgets the delete keeps the file.
        EXPECT_EQ(kept, careful || metadata == EMetadataLoss::kListings);
        if (!careful && data == EDataLoss::kZeros && metadata == EMetadataLoss::kJournaled) {
          EXPECT_EQ(scene.Read(from), std::nullopt);
          EXPECT_EQ(scene.Read(to), Zeros(original->size()));
        }
      }
    }
  }
}

}  // namespace
