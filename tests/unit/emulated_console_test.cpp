// The console dialog host of the emulated machine.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "support/test_machine.h"

namespace {

class ScriptedClient : public CDialogClient {
 public:
  std::function<void()> onInit;
  std::function<void()> onStart;
  int starts = 0;

  bool OnInitDialog() override {
    if (onInit) {
      onInit();
    }
    return true;
  }
  void OnCheckInstallation() override {
    ++starts;
    if (onStart) {
      onStart();
    }
  }
};

class EmulatedConsoleTest : public ::testing::Test {
 protected:
  EmulatedConsoleTest() {
    CEmulatedMachineOptions options;
    options.root = machine_.HostRoot();
    options.currentDirectory = "C:\\";
    options.out = &out_;
    options.err = &err_;
    platform_ = std::make_unique<CEmulatedPlatform>(options);
  }

  CTestMachine machine_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::unique_ptr<CEmulatedPlatform> platform_;
};

TEST_F(EmulatedConsoleTest, StartMessageRunsAndEndDialogResultIsReturned) {
  ScriptedClient client;
  client.onInit = [&] {
    platform_->SetDialogIcons();
    platform_->PostCheckInstallation();
  };
  client.onStart = [&] { platform_->EndDialog(win::kIdOk); };
  EXPECT_EQ(win::kIdOk, platform_->DoModal(client));
  EXPECT_EQ(1, client.starts);
}

TEST_F(EmulatedConsoleTest, WithoutStartMessageOrEndTheUserClosesTheDialog) {
  ScriptedClient client;
  EXPECT_EQ(win::kIdCancel, platform_->DoModal(client));
  EXPECT_EQ(0, client.starts);

  // The handler ran but ended nothing: the dialog would stay until closed.
  client.onInit = [&] { platform_->PostCheckInstallation(); };
  EXPECT_EQ(win::kIdCancel, platform_->DoModal(client));
  EXPECT_EQ(1, client.starts);
}

TEST_F(EmulatedConsoleTest, EndDuringInitSkipsTheStartMessage) {
  ScriptedClient client;
  client.onInit = [&] {
    platform_->PostCheckInstallation();
    platform_->EndDialog(7);
  };
  EXPECT_EQ(7, platform_->DoModal(client));
  EXPECT_EQ(0, client.starts);
}

TEST_F(EmulatedConsoleTest, ReposingFromTheHandlerRunsItAgain) {
  ScriptedClient client;
  client.onInit = [&] { platform_->PostCheckInstallation(); };
  client.onStart = [&] {
    if (client.starts < 3) {
      platform_->PostCheckInstallation();
    } else {
      platform_->EndDialog(win::kIdCancel);
    }
  };
  EXPECT_EQ(win::kIdCancel, platform_->DoModal(client));
  EXPECT_EQ(3, client.starts);
}

TEST_F(EmulatedConsoleTest, LinesArePrintedOncePerChange) {
  ScriptedClient client;
  client.onInit = [&] {
    platform_->SetDlgItemTextA(1000, "");  // unchanged: nothing printed
    platform_->SetDlgItemTextA(1000, "Importing file");
    platform_->SetDlgItemTextA(1001, "C:\\Vela\\queue1.ini");
    platform_->SetDlgItemTextA(1001, "C:\\Vela\\queue1.ini");
    platform_->SetDlgItemTextA(1001, "C:\\Vela\\M\xFCller.ini");
    platform_->SetDlgItemTextA(1234, "other control");
  };
  platform_->DoModal(client);
  EXPECT_EQ("Importing file\nC:\\Vela\\queue1.ini\nC:\\Vela\\M\xC3\xBCller.ini\n", out_.str());
  EXPECT_EQ("Importing file", platform_->GetDlgItemTextA(1000));
  EXPECT_EQ("C:\\Vela\\M\xFCller.ini", platform_->GetDlgItemTextA(1001));
  EXPECT_EQ("other control", platform_->GetDlgItemTextA(1234));
  EXPECT_EQ("", platform_->GetDlgItemTextA(1002));
  EXPECT_EQ("", err_.str());
}

TEST_F(EmulatedConsoleTest, MessageBoxesGoToErrAndAreCounted) {
  EXPECT_EQ(win::kIdOk, platform_->MessageBoxA("Queue Q1: directory 'x' does not exist!",
                                               win::kMbIconExclamation));
  EXPECT_EQ(win::kIdOk, platform_->MessageBoxA("Could not back up:\r\nAccess is denied.\r\n",
                                               win::kMbIconStop));
  EXPECT_EQ(2, platform_->MessageBoxCount());
  EXPECT_EQ(
      "CheckVela: Queue Q1: directory 'x' does not exist!\n"
      "CheckVela: Could not back up:\nAccess is denied.\n",
      err_.str());
  EXPECT_EQ("", out_.str());
}

// A stream buffer that shows what was written only when it is flushed, as a file or pipe that
// is not a terminal gets it, into a log that the err stream writes into directly.
class CFlushedLog : public std::stringbuf {
 public:
  explicit CFlushedLog(std::string& log) : log_(log) {}

 protected:
  int sync() override {
    log_ += str();
    str("");
    return 0;
  }

 private:
  std::string& log_;
};

// Lines that nobody watches go out in one write for many, but before each message box's line and
// at the end of the dialog, so that both streams keep their order when they go to one place.
TEST_F(EmulatedConsoleTest, LinesGoOutBeforeAMessageBoxAndAtTheEnd) {
  std::string log;
  CFlushedLog buffer(log);
  std::ostream out(&buffer);
  std::ostringstream err;
  CEmulatedMachineOptions options;
  options.root = machine_.HostRoot();
  options.currentDirectory = "C:\\";
  options.out = &out;
  options.err = &err;
  CEmulatedPlatform platform(options);
  ScriptedClient client;
  std::string beforeBox;
  client.onInit = [&] {
    platform.PostCheckInstallation();
    platform.SetDlgItemTextA(1000, "Importing file");
    platform.SetDlgItemTextA(1001, "C:\\Vela\\q1\\cf1.ini");
  };
  client.onStart = [&] {
    beforeBox = log;
    platform.MessageBoxA("Could not back up", win::kMbIconStop);
    log += err.str();
    platform.SetDlgItemTextA(1001, "C:\\Vela\\q1\\cf2.ini");
    platform.EndDialog(win::kIdOk);
  };
  EXPECT_EQ(win::kIdOk, platform.DoModal(client));
  EXPECT_EQ("", beforeBox);  // the lines waited in the buffer until then
  EXPECT_EQ(
      "Importing file\nC:\\Vela\\q1\\cf1.ini\nCheckVela: Could not back up\n"
      "C:\\Vela\\q1\\cf2.ini\n",
      log);
}

}  // namespace
