// The hotsync commands; each answers the program's exit code.
#ifndef TOLVEX_PLATFORM_HOTSYNC_COMMANDS_H
#define TOLVEX_PLATFORM_HOTSYNC_COMMANDS_H

namespace tolvex::host {

class ArgReader;

// argv[first] is the first argument after the command's name.
int runSync(int argc, char** argv, int first);
int runConfigure(int argc, char** argv, int first);
int runDevice(int argc, char** argv, int first);
void printVersion();

// The two device commands share one help text.
extern const char kDeviceUsage[];
// hotsync device dump, given the arguments after "dump".
int deviceDump(ArgReader& args);

}  // namespace tolvex::host
#endif
