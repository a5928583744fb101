// hotsync: the HotSync program a user runs. Synchronizes a handheld image
// with a desktop folder through the registered conduits, opens a conduit's
// action dialog, and makes or prints handheld images.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "platform/hotsync/Commands.h"
#include "platform/hotsync/Host.h"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "0"
#endif

namespace tolvex::host {

void printVersion() { std::printf("hotsync (Tolvex) %s\n", TOLVEX_VERSION); }

}  // namespace tolvex::host

namespace {

const char kUsage[] =
    "Usage: hotsync sync --device DIR --desktop DIR [--type TYPE] [--conduit LIB]\n"
    "                    [--dry-run] [--verbose] [--quiet | --json]\n"
    "       hotsync configure [--conduit LIB] [--legacy] [--device DIR]\n"
    "                         [--click ID]... [--ok | --cancel]\n"
    "       hotsync device init IMAGE [--from BACKUP] [--user NAME]\n"
    "       hotsync device dump IMAGE [NAME] [--json] [--records]\n"
    "       hotsync [COMMAND] --help\n"
    "       hotsync --version\n"
    "\n"
    "  sync         run one HotSync of a handheld image with a desktop folder\n"
    "  configure    choose the conduit's HotSync action\n"
    "  device init  create a handheld image, empty or from a backup folder\n"
    "  device dump  show what is on a handheld image\n"
    "\n"
    "'hotsync COMMAND --help' tells more. State is kept in $HOTSYNC_HOME\n"
    "(default ~/.config/hotsync).\n";

int runCommand(int argc, char** argv) {
  using namespace tolvex::host;
  if (argc < 2) {
    std::fprintf(stderr, "hotsync: a command is required (see 'hotsync --help')\n");
    return kExitUsage;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    printVersion();
    return kExitOk;
  }
  // sync records it itself, since a dry run must leave the HotSync state alone.
  if (command == "sync") return runSync(argc, argv, 2);
  // Recorded on every start so the Conduit Manager can always name this program.
  recordHostStart();
  if (command == "configure") return runConfigure(argc, argv, 2);
  if (command == "device") return runDevice(argc, argv, 2);
  std::fprintf(stderr, "hotsync: unknown command '%s' (see 'hotsync --help')\n", command.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (hotsync sync | head) loses what is printed
  // after it; the run itself goes on to its end.
  std::signal(SIGPIPE, SIG_IGN);
  // Out of memory part way: every file is written whole or not at all, so
  // what was written stands, as after a crash, and the next run takes it up.
  const char* why = "out of memory";
  try {
    return runCommand(argc, argv);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& e) {
    why = e.what();
  }
  std::fprintf(stderr,
               "hotsync: stopped: %s; files it had not finished are as they were, and the next HotSync "
               "takes up what this one left\n",
               why);
  return tolvex::host::kExitFailed;
}
