#include <iomanip>
#include <iostream>

#include "cli/Commands.h"
#include "platform/DriveList.h"

int RunDrives(const GlobalOptions& options) {
    std::vector<DriveListEntry> drives = ListDrives();
    bool anyUnreadable = false;
    if (!options.json) {
        std::cout << std::left << std::setw(18) << "DEVICE" << std::setw(11) << "KIND" << std::setw(8) << "FS"
                  << std::setw(18) << "LABEL" << std::right << std::setw(11) << "SIZE" << "  NOTE\n";
    }
    for (const auto& d : drives) {
        if (!d.readable) anyUnreadable = true;
        if (options.json) {
            EmitJson({{"device", d.device},
                      {"filesystem", d.fsDisplay.empty() ? nlohmann::json(nullptr) : nlohmann::json(d.fsDisplay)},
                      {"label", d.label},
                      {"size", d.size},
                      {"free", d.free ? nlohmann::json(d.free) : nlohmann::json(nullptr)},
                      {"supported", d.supported}});
            continue;
        }
        std::string note;
        if (!d.readable)
            note = d.error;
        else if (!d.supported)
            note = d.fsDisplay.empty() ? "no supported file system" : "unsupported file system";
        std::cout << std::left << std::setw(18) << d.device << std::setw(11) << d.kind << std::setw(8)
                  << (d.fsDisplay.empty() ? "-" : d.fsDisplay) << std::setw(18) << d.label << std::right
                  << std::setw(11) << HumanSize(d.size) << "  " << note << "\n";
    }
    if (drives.empty() && !options.json) std::cout << "(no block devices found)\n";
    if (anyUnreadable && !options.json)
        std::cerr << "quarlix: some devices could not be read (run with sudo or join the group 'disk'); "
                     "image files can always be given as SOURCE\n";
    return kExitOk;
}
