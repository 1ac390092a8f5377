// Watches CheckVela's progress dialog from another process while a migration runs, the way the
// window manager's hang test does: it finds the dialog by its caption, sends it WM_NULL with
// SendMessageTimeout and a 1-second timeout every half second, and counts the answers until
// the window goes away by itself. With --poke it also sends and posts, between the pings, what
// an impatient user or another program could: WM_CLOSE, the Cancel and OK commands, SC_CLOSE,
// Escape and Enter, and a second start message. None of it may end the dialog or start the
// stages again: the window must stay on screen until the run closes it.
//
//   responsive_probe [--appear SECONDS] [--limit SECONDS] [--min-pings N] [--poke]
//
// Prints one line, for example
//   responsive: 42/42 pings answered (slowest 31 ms), 10 pokes, on screen 21.4 s, closed by
//   itself (0.1 s after it hid)
// and exits 0 when every ping (and every sent poke) while the dialog was on screen was
// answered, there were at least N pings (default 10), no message box appeared, and the window
// closed by itself within the limit (default 600 s) and soon after it hid; 1 otherwise; 2 when
// no dialog appeared within --appear seconds (default 120).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "resource.h"

namespace {

const char kCaption[] = "Check existing Vela installation";
// The caption of the program's message boxes: its file name without the extension.
const char kMessageBoxCaption[] = "CheckVela";
constexpr DWORD kPingIntervalMs = 500;
constexpr UINT kPingTimeoutMs = 1000;
constexpr double kMostSecondsHidden = 5;

struct Options {
  DWORD appearSeconds = 120;
  DWORD limitSeconds = 600;
  int minPings = 10;
  bool poke = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--poke") {
      options.poke = true;
      continue;
    }
    if (i + 1 >= argc) {
      return false;
    }
    const long value = std::strtol(argv[++i], nullptr, 10);
    if (value < 0) {
      return false;
    }
    if (arg == "--appear") {
      options.appearSeconds = static_cast<DWORD>(value);
    } else if (arg == "--limit") {
      options.limitSeconds = static_cast<DWORD>(value);
    } else if (arg == "--min-pings") {
      options.minPings = static_cast<int>(value);
    } else {
      return false;
    }
  }
  return true;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One of the things that must not end the dialog or start the stages again.
struct Poke {
  const char* name;
  bool sent;  // sent (delivered when the dialog's thread takes sent messages) or posted
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

const Poke kPokes[] = {
    {"WM_CLOSE sent", true, WM_CLOSE, 0, 0},
    {"IDCANCEL sent", true, WM_COMMAND, IDCANCEL, 0},
    {"IDOK sent", true, WM_COMMAND, IDOK, 0},
    {"SC_CLOSE sent", true, WM_SYSCOMMAND, SC_CLOSE, 0},
    {"start message sent", true, WM_CHECK_INSTALLATION, 0, 0},
    {"WM_CLOSE posted", false, WM_CLOSE, 0, 0},
    {"IDCANCEL posted", false, WM_COMMAND, IDCANCEL, 0},
    {"start message posted", false, WM_CHECK_INSTALLATION, 0, 0},
    {"Escape posted", false, WM_KEYDOWN, VK_ESCAPE, 0x00010001},
    {"Enter posted", false, WM_KEYDOWN, VK_RETURN, 0x001C0001},
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: responsive_probe [--appear SECONDS] [--limit SECONDS] "
                 "[--min-pings N] [--poke]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  // The dialog exists from its creation on but shows only after its initialisation.
  HWND dialog = nullptr;
  for (DWORD waited = 0; waited < options.appearSeconds * 1000; waited += 20) {
    dialog = ::FindWindowA("#32770", kCaption);
    if (dialog != nullptr && ::IsWindowVisible(dialog)) {
      break;
    }
    ::Sleep(20);
  }
  if (dialog == nullptr || !::IsWindowVisible(dialog)) {
    std::printf("responsive: no dialog \"%s\" appeared within %lu s\n", kCaption,
                static_cast<unsigned long>(options.appearSeconds));
    return 2;
  }

  LARGE_INTEGER frequency, start, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  now = start;
  int pings = 0;
  int answered = 0;
  double slowest = 0;
  int messageBoxes = 0;
  std::size_t pokesDone = 0;
  std::string firstMiss;
  std::string unansweredPokes;

  // Pings while the dialog is on screen. It hides when the dialog ends (EndDialog) and goes
  // when its modal loop returns.
  for (int tick = 0;; ++tick) {
    // The pings keep their cadence whatever a ping or a poke took.
    for (;;) {
      ::QueryPerformanceCounter(&now);
      const double due = tick * (kPingIntervalMs / 1000.0);
      const double elapsed = Seconds(start, now, frequency);
      if (elapsed >= due) {
        break;
      }
      ::Sleep(static_cast<DWORD>((due - elapsed) * 1000) + 1);
    }
    if (!::IsWindow(dialog) || !::IsWindowVisible(dialog) ||
        Seconds(start, now, frequency) > options.limitSeconds) {
      break;
    }
    // A message box stops the run until somebody answers it; the generated machine raises
    // none. Count it as a failure and answer it so that the run can go on.
    const HWND box = ::FindWindowA("#32770", kMessageBoxCaption);
    if (box != nullptr && ::IsWindowVisible(box)) {
      ++messageBoxes;
      ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    }

    LARGE_INTEGER sentAt, answeredAt;
    ::QueryPerformanceCounter(&sentAt);
    DWORD_PTR result = 0;
    const LRESULT ok =
        ::SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kPingTimeoutMs, &result);
    const DWORD error = ok ? 0 : ::GetLastError();
    ::QueryPerformanceCounter(&answeredAt);
    if (!ok && (!::IsWindow(dialog) || !::IsWindowVisible(dialog))) {
      break;  // the dialog ended while the ping waited: the ping is moot
    }
    ++pings;
    if (ok) {
      ++answered;
      const double took = Seconds(sentAt, answeredAt, frequency);
      if (took > slowest) {
        slowest = took;
      }
    } else if (firstMiss.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "first unanswered ping at %.1f s (error %lu)",
                    Seconds(start, sentAt, frequency), static_cast<unsigned long>(error));
      firstMiss = text;
    }

    // One poke after every second ping, from the third on, while there are any left.
    if (options.poke && tick >= 2 && tick % 2 == 0 && pokesDone < std::size(kPokes)) {
      const Poke& poke = kPokes[pokesDone++];
      if (poke.sent) {
        DWORD_PTR ignored = 0;
        if (!::SendMessageTimeoutA(dialog, poke.message, poke.wParam, poke.lParam, SMTO_NORMAL,
                                   kPingTimeoutMs, &ignored)) {
          unansweredPokes += unansweredPokes.empty() ? poke.name : std::string(", ") + poke.name;
        }
      } else {
        ::PostMessageA(dialog, poke.message, poke.wParam, poke.lParam);
        if (poke.message == WM_KEYDOWN) {
          ::PostMessageA(dialog, WM_KEYUP, poke.wParam, poke.lParam | 0xC0000000);
        }
      }
    }
  }
  ::QueryPerformanceCounter(&now);
  const double onScreen = Seconds(start, now, frequency);

  // From hidden to gone.
  LARGE_INTEGER hiddenAt = now;
  while (::IsWindow(dialog) && Seconds(start, now, frequency) <= options.limitSeconds) {
    ::Sleep(20);
    ::QueryPerformanceCounter(&now);
  }
  const bool closed = !::IsWindow(dialog);
  const double hiddenFor = Seconds(hiddenAt, now, frequency);

  std::printf("responsive: %d/%d pings answered (slowest %.0f ms)", answered, pings,
              slowest * 1000);
  if (options.poke) {
    std::printf(", %zu pokes", pokesDone);
  }
  std::printf(", on screen %.1f s, ", onScreen);
  if (closed) {
    std::printf("closed by itself (%.1f s after it hid)", hiddenFor);
  } else {
    std::printf("still open at the limit");
  }
  if (!firstMiss.empty()) {
    std::printf(", %s", firstMiss.c_str());
  }
  std::printf("\n");

  bool passed = closed && answered == pings;
  if (pings < options.minPings) {
    std::printf("responsive: too short to judge: %d pings, at least %d wanted\n", pings,
                options.minPings);
    passed = false;
  }
  if (options.poke && pokesDone < std::size(kPokes)) {
    std::printf("responsive: the dialog ended before every poke was made (%zu of %zu)\n", pokesDone,
                std::size(kPokes));
    passed = false;
  }
  if (!unansweredPokes.empty()) {
    std::printf("responsive: unanswered: %s\n", unansweredPokes.c_str());
    passed = false;
  }
  // The dialog's loop destroys the window as soon as the handler that ended it returns (Wine
  // without a window manager waits up to 2 s for the hidden window to be withdrawn). A close
  // that ended the dialog in the middle of the run would leave it hidden for the rest.
  if (closed && hiddenFor > kMostSecondsHidden) {
    std::printf(
        "responsive: the dialog was hidden %.1f s before it went: it ended before the "
        "run did\n",
        hiddenFor);
    passed = false;
  }
  if (messageBoxes > 0) {
    std::printf("responsive: a message box appeared\n");
    passed = false;
  }
  return passed ? 0 : 1;
}
