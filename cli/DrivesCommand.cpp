#include <unistd.h>

#include <iostream>
#include <vector>

#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "platform/DriveList.h"

int RunDrives(const GlobalOptions& options) {
    DriveListRecord r;
    std::vector<int> refused;  // the errno of each device that could not be opened
    for (const DriveListEntry& d : ListDrives()) {
        if (!d.readable) refused.push_back(d.errorNumber);
        r.drives.push_back({d.device, d.kind, d.fsDisplay, d.label, d.size, d.free, d.supported, d.readable, d.error});
    }
    MakeRecordWriter(options.json, std::cout)->Write(r);
    if (!refused.empty() && !options.json)
        std::cerr << "quarlix: " << UnreadableDevicesNote(refused, static_cast<unsigned>(::geteuid())) << "\n";
    return kExitOk;
}
