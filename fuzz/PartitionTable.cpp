// MBR/GPT partition tables: the input is a whole disk.
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "platform/DeviceStream.h"
#include "platform/PartitionTable.h"

int FuzzPartitionTable(const uint8_t* data, size_t size) {
    static CFuzzFile file("partition_table");
    file.Write(data, size);
    const auto source = file.Source();
    CDeviceStream device;
    if (!device.Open(source)) return 0;
    PartitionTable table;
    std::string error;
    if (!ReadPartitionTable(device, table, error)) return 0;
    for (const PartitionEntry& p : table.partitions) {
        // Every entry kept lies on the device (clipped or dropped otherwise).
        FUZZ_CHECK(p.offset <= size && p.length <= size - p.offset);
        CDeviceStream inside;
        if (p.length > 0 && inside.Open(source, p.offset, p.length)) {
            uint8_t sector[512];
            inside.ReadAt(0, sector, sizeof sector);
        }
    }
    return 0;
}
