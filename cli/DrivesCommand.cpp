#include <iostream>

#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "platform/DriveList.h"

int RunDrives(const GlobalOptions& options) {
    DriveListRecord r;
    bool anyUnreadable = false;
    for (const DriveListEntry& d : ListDrives()) {
        if (!d.readable) anyUnreadable = true;
        r.drives.push_back({d.device, d.kind, d.fsDisplay, d.label, d.size, d.free, d.supported, d.readable, d.error});
    }
    MakeRecordWriter(options.json, std::cout)->Write(r);
    if (anyUnreadable && !options.json)
        std::cerr << "quarlix: some devices could not be read (run with sudo or join the group 'disk'); "
                     "image files can always be given as SOURCE\n";
    return kExitOk;
}
