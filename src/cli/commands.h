#pragma once
#include <string>

#include "core/common/result.h"
#include "core/discovery/discovered_device.h"

// Each command gets the words after its name and returns the process exit status.
namespace gt::cli {

int runSend(int argc, char** argv);       // send --agent A --title T --message M [...]
int runStatus(int argc, char** argv);     // status
int runPair(int argc, char** argv);       // pair --host … | --device NAME, --code C
int runUnpair(int argc, char** argv);     // unpair
int runDevices(int argc, char** argv);    // devices
int runInstall(int argc, char** argv);    // install --agent A
int runUninstall(int argc, char** argv);  // uninstall --agent A
int runHook(int argc, char** argv);       // hook --agent A [payload]
int runAutostart(int argc, char** argv);  // autostart on|off|status

// A 3-second search for the device with this instance name; a failure says why in one line.
enum class FindProblem { searchFailed, notFound };
Result<DiscoveredDevice, Problem<FindProblem>> findDeviceByName(const std::string& name);

}  // namespace gt::cli
