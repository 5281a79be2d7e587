// The recycle bin's records: the input as a $I file, as an INFO2 file (its
// records after the 20-byte header) and as one bare INFO2 record.
#include <string>

#include "FuzzTargets.h"
#include "engine/volume/RecycleBin.h"

int FuzzRecycleBin(const uint8_t* data, size_t size) {
    std::u16string former;
    if (recyclebin::ParseDollarI(data, size, former)) {
        std::u16string last = recyclebin::LastComponent(former);
        recyclebin::Extension(last);
        recyclebin::EqualsNoCase(recyclebin::FoldAscii(last), u"$RECYCLE.BIN");
    }
    recyclebin::Info2Record record;
    if (recyclebin::ParseInfo2Record(data, size, record)) recyclebin::Info2RecycledName(record);
    if (size > recyclebin::kInfo2HeaderSize) {
        size_t at = recyclebin::kInfo2HeaderSize;
        for (size_t n = 0; n < recyclebin::kMaxInfo2Records && at < size; ++n, at += recyclebin::kInfo2RecordSize) {
            if (!recyclebin::ParseInfo2Record(data + at, size - at, record)) break;
            recyclebin::Info2RecycledName(record);
        }
    }
    return 0;
}
